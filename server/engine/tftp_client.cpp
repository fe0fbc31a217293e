#include "engine/tftp_client.h"

#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "engine/engine_state.h"
#include "engine/upgrade.h"
#include "net/transport.h"
#include "platform/diag.h"
#include "platform/socket.h"
#include "platform/tick.h"

namespace ferro {
namespace {

constexpr char kOctetMode[] = "octet";
constexpr uint16_t kTftpUnknownTid = 5;
constexpr char kUnknownTidText[] = "Unknown transfer ID";

std::atomic<uint64_t> g_bytesSent{0};

// TFTP datagrams of an upload leave from the transfer socket of the local
// address in the agent's subnet, judged with the agent's own netmask.
void SendToUploadAgent(const TftpSession& upload, uint16_t port, const uint8_t* bytes,
                       size_t length) {
  SetTransferMaskOverride(upload.agentNetmask);
  SendTransfer(upload.agentIpAddr, port, bytes, length);  // a lost send is resent by the timer
}

bool InTransfer(const TftpSession& upload) {
  switch (upload.upgradeStatus) {
    case kUploadWrqSent:
    case kUploadEraseWait:
    case kUploadSending:
    case kUploadLastBlockSent:
      return true;
    default:
      return false;
  }
}

bool FileExists(const char* path) {
#ifdef _WIN32
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
#else
  return access(path, F_OK) == 0;
#endif
}

// Reads up to `size` bytes at `offset` of the file; the count, or -1.
int64_t ReadAt(std::FILE* file, uint8_t* bytes, size_t size, int64_t offset) {
  if (file == nullptr) return -1;
#ifdef _WIN32
  // No pread: the stream is positioned first (every use of it holds the
  // transfer session lock).
  if (_fseeki64(file, offset, SEEK_SET) != 0) return -1;
  const size_t got = std::fread(bytes, 1, size, file);
  return got < size && std::ferror(file) != 0 ? -1 : static_cast<int64_t>(got);
#else
  return pread(fileno(file), bytes, size, static_cast<off_t>(offset));
#endif
}

// ACK of the block last sent: the next block goes out.
void SendNextBlock(TftpSession& upload) {
  uint8_t bytes[kTftpBlockSize];
  const int64_t offset =
      static_cast<int64_t>(upload.blockCounter) * static_cast<int64_t>(kTftpBlockSize);
  const int64_t got = ReadAt(upload.file.get(), bytes, sizeof bytes, offset);
  if (got < 0) {
    FailUpload(upload, kFailSeek);
    StartNextUpload();
    return;
  }
  if (!FileExists(GetUpgradeParameters().path)) {
    FailUpload(upload, kFailFileOpen);  // the queue waits for the next start
    return;
  }
  const size_t length = static_cast<size_t>(got);
  std::memset(upload.lastPacket, 0, sizeof upload.lastPacket);
  upload.lastPacketLength = static_cast<int32_t>(
      BuildData(WireBlock(upload.blockCounter + 1), bytes, length, upload.lastPacket));
  SendToUploadAgent(upload, upload.tidPort, upload.lastPacket,
                    static_cast<size_t>(upload.lastPacketLength));

  if (upload.upgradeStatus == kUploadWrqSent) {
    upload.upgradeStatus = upload.eraseWaitCount != 0 ? kUploadEraseWait : kUploadSending;
  } else if (upload.upgradeStatus == kUploadEraseWait) {
    upload.upgradeStatus = kUploadSending;
  }
  if (length < kTftpBlockSize) upload.upgradeStatus = kUploadLastBlockSent;
  upload.blockCounter += 1;
  upload.transmitedSize += static_cast<int64_t>(length);
  g_bytesSent.fetch_add(length, std::memory_order_relaxed);
  upload.retryCount = 0;
  upload.lastTick = GetTick();
}

// A TFTP datagram during a transfer that is not of it (another address, or
// the agent's address from a port other than the transfer's): answered with
// ERROR "Unknown transfer ID" to its sender and otherwise ignored, so the
// transfer goes on. An ERROR is never answered: two peers that each took the
// other's ERROR for a stranger's would otherwise answer each other without
// end. Any host can send these, so the line is limited (platform/diag.h).
// `mask` is the running transfer's netmask: a sender address whose host part
// is all ones there is a broadcast address, and so are the group addresses;
// neither is answered (the answer would reach every host).
void AnswerUnknownTransfer(const ReceivedPacket& packet, uint16_t opcode, uint32_t mask) {
  static DiagLimit lines("TFTP packet of an unknown transfer ID");
  char from[INET_ADDRSTRLEN] = "";
  in_addr address{};
  address.s_addr = packet.sourceIp;
  inet_ntop(AF_INET, &address, from, sizeof from);
  if (opcode == kTftpError) {
    lines.Print("TFTP error from %s:%u, an unknown transfer ID: ignored\n", from,
                static_cast<unsigned>(packet.sourcePort));
    return;
  }
  const uint32_t ip = ntohl(packet.sourceIp);
  const uint32_t hostBits = ~ntohl(mask);
  const bool broadcast = hostBits != 0 && (ip & hostBits) == hostBits;
  if (packet.sourcePort == 0 || ip == 0 || ip >= 0xE0000000u || broadcast) return;
  uint8_t error[kMaxPacketSize];
  const size_t length = BuildError(kTftpUnknownTid, kUnknownTidText, error);
  SetTransferMaskOverride(mask);
  SendTransfer(packet.sourceIp, htons(packet.sourcePort), error, length);
  lines.Print("TFTP packet (opcode %u) from %s:%u, an unknown transfer ID: answered %s\n",
              static_cast<unsigned>(opcode), from, static_cast<unsigned>(packet.sourcePort),
              kUnknownTidText);
}

}  // namespace

uint64_t UploadBytesSent() { return g_bytesSent.load(std::memory_order_relaxed); }

size_t BuildWrq(const char* fileName, uint8_t* out) {
  if (fileName == nullptr || out == nullptr) return 0;
  const size_t nameLength = std::strlen(fileName);
  const size_t total = 2 + nameLength + 1 + sizeof kOctetMode;
  if (total > kMaxPacketSize) return 0;
  StoreBe16(out, kTftpWrq);
  std::memcpy(out + 2, fileName, nameLength);
  out[2 + nameLength] = 0;
  std::memcpy(out + 3 + nameLength, kOctetMode, sizeof kOctetMode);  // with its NUL
  return total;
}

size_t BuildData(uint16_t block, const uint8_t* bytes, size_t length, uint8_t* out) {
  if (out == nullptr || length > kTftpBlockSize || (bytes == nullptr && length != 0)) return 0;
  StoreBe16(out, kTftpData);
  StoreBe16(out + 2, block);
  if (length != 0) std::memcpy(out + 4, bytes, length);
  return 4 + length;
}

size_t BuildError(uint16_t code, const char* text, uint8_t* out) {
  if (text == nullptr || out == nullptr) return 0;
  const size_t textLength = std::strlen(text);
  const size_t total = 4 + textLength + 1;
  if (total > kMaxPacketSize) return 0;
  StoreBe16(out, kTftpError);
  StoreBe16(out + 2, code);
  std::memcpy(out + 4, text, textLength + 1);  // with its NUL
  return total;
}

int32_t HandleTftpPacket(const ReceivedPacket& packet) {
  const size_t length = static_cast<size_t>(std::max(packet.length, 0));
  const uint16_t opcode = PacketU16(packet.data, length, 0);
  if (opcode < kTftpRrq || opcode > kTftpError) return 0;  // not TFTP at all
  const uint16_t block = PacketU16(packet.data, length, 2);
  const uint16_t port = htons(packet.sourcePort);

  std::lock_guard lock(TftpSessionLock());
  // The transfer a datagram belongs to: its upload's agent, from the port
  // that answered the write request (from any port before that answer).
  // Transfers run only in the transfer states; outside them nothing here
  // talks TFTP, and a datagram is dropped unanswered.
  TftpSession* owner = nullptr;
  const TftpSession* running = nullptr;
  for (const auto& u : TftpSessionList()) {
    if (u->isupgrading == 0 || !InTransfer(*u)) continue;
    if (running == nullptr) running = u.get();
    if (u->agentIpAddr == packet.sourceIp &&
        (u->upgradeStatus == kUploadWrqSent || port == u->tidPort)) {
      owner = u.get();
      break;
    }
  }
  if (owner == nullptr) {
    if (running != nullptr) AnswerUnknownTransfer(packet, opcode, running->agentNetmask);
    return opcode == kTftpAck || opcode == kTftpError ? 1 : 0;
  }
  if (opcode != kTftpAck && opcode != kTftpError) return 0;
  TftpSession& upload = *owner;

  if (opcode == kTftpError) {
    FailUpload(upload, kFailTftpError);  // the queue waits for the next start
    return 1;
  }
  // A stale or duplicate ACK changes nothing: only the timer resends.
  if (block != WireBlock(upload.blockCounter)) return 1;
  if (upload.upgradeStatus == kUploadLastBlockSent) {
    upload.upgradeStatus = kUploadRebootWait;
    upload.lastTick = GetTick();
    return 1;
  }
  if (upload.upgradeStatus == kUploadWrqSent) upload.tidPort = port;
  SendNextBlock(upload);
  return 1;
}

void SendWrq(TftpSession& upload) {
  std::memset(upload.lastPacket, 0, sizeof upload.lastPacket);
  upload.lastPacketLength =
      static_cast<int32_t>(BuildWrq(GetUpgradeParameters().path, upload.lastPacket));
  SendToUploadAgent(upload, htons(kTftpServerPort), upload.lastPacket,
                    static_cast<size_t>(upload.lastPacketLength));
  upload.retryCount = 0;
  upload.lastTick = GetTick();
  upload.upgradeStatus = kUploadWrqSent;
}

void TransferTick(TftpSession& upload) {
  uint32_t wait = kBlockWaitMs;
  uint32_t limit = kTransferRetryLimit;
  int32_t failure = kFailNoAck;
  uint16_t port = upload.tidPort;
  switch (upload.upgradeStatus) {
    case kUploadWrqSent:
      wait = kWrqWaitMs;
      failure = kFailNoFirstAck;
      port = htons(kTftpServerPort);
      break;
    case kUploadEraseWait:
      wait = kEraseWaitMs;
      limit = upload.eraseWaitCount;
      failure = kFailNoFirstAck;
      break;
    case kUploadSending:
    case kUploadLastBlockSent:
      break;
    default:
      return;
  }
  const uint32_t now = GetTick();
  if (!TickElapsed(now, upload.lastTick, wait)) return;
  if (upload.retryCount < limit) {
    SendToUploadAgent(upload, port, upload.lastPacket,
                      static_cast<size_t>(upload.lastPacketLength));
    upload.lastTick = now;
    upload.retryCount += 1;
  } else if (upload.restartCount < kRestartLimit) {
    RestartUpload(upload);
    upload.restartCount += 1;
  } else {
    FailUpload(upload, failure);
    StartNextUpload();
  }
}

}  // namespace ferro
