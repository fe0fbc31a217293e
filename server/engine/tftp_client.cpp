#include "engine/tftp_client.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "engine/engine_state.h"
#include "engine/upgrade.h"
#include "net/transport.h"
#include "platform/tick.h"

namespace ferro {
namespace {

constexpr char kOctetMode[] = "octet";

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

bool FileExists(const char* path) { return access(path, F_OK) == 0; }

// ACK of the block last sent: the next block goes out.
void SendNextBlock(TftpSession& upload) {
  uint8_t bytes[kTftpBlockSize];
  const off_t offset = static_cast<off_t>(upload.blockCounter) * static_cast<off_t>(kTftpBlockSize);
  const ssize_t got =
      upload.file ? pread(fileno(upload.file.get()), bytes, sizeof bytes, offset) : -1;
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
  upload.retryCount = 0;
  upload.lastTick = GetTick();
}

}  // namespace

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

int32_t HandleTftpPacket(const ReceivedPacket& packet) {
  const size_t length = static_cast<size_t>(std::max(packet.length, 0));
  const uint16_t opcode = PacketU16(packet.data, length, 0);
  if (opcode != kTftpAck && opcode != kTftpError) return 0;
  const uint16_t block = PacketU16(packet.data, length, 2);

  std::lock_guard lock(TftpSessionLock());
  auto& list = TftpSessionList();
  const auto it = std::find_if(list.begin(), list.end(), [&](const auto& u) {
    return u->isupgrading != 0 && u->agentIpAddr == packet.sourceIp;
  });
  if (it == list.end() || !InTransfer(**it)) return 1;
  TftpSession& upload = **it;

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
  const uint16_t port = htons(packet.sourcePort);
  if (upload.upgradeStatus == kUploadWrqSent) upload.tidPort = port;
  if (port != upload.tidPort) return 1;
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
