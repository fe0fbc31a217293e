#pragma once
// The TFTP write client: one upload of a file into an agent's TFTP server
// (lock-step, 512-byte blocks, octet mode). Each upload is a TftpSession in
// the TftpSessionList; the upgrade scheduler (upgrade.h) starts, restarts
// and ends uploads, this part moves the file across.
//
// Every function here is called with TftpSessionLock held (HandleTftpPacket
// takes it itself), and sends with AdapterSocketLock taken inside.

#include <cstdint>
#include <cstdio>
#include <list>
#include <memory>

#include "net/received_packet.h"
#include "protocol/packet.h"

namespace ferro {

// Upload states (upgradeStatus). 8 is never used; Done and Failed are final.
enum UploadState : int32_t {
  kUploadQueued = 0,
  kUploadRequestSent = 1,    // upgrade request sent, waiting for its reply
  kUploadWrqSent = 2,        // write request sent, waiting for ACK 0
  kUploadEraseWait = 3,      // DATA 1 sent, the agent erases its flash
  kUploadSending = 4,        // DATA n sent, waiting for ACK n
  kUploadLastBlockSent = 5,  // the short final block sent
  kUploadRebootWait = 6,     // file delivered, the agent reboots
  kUploadRediscovering = 7,  // looking for the agent again
  kUploadDone = 9,
  kUploadFailed = 10,
};

// Why an upload failed (failedCode).
enum UploadFailure : int32_t {
  kFailFileOpen = 1,         // not openable at start, or gone during the transfer
  kFailSeek = 2,             // reading a block's place in the file failed
  kFailNoUpgradeReply = 3,   // the upgrade request went unanswered
  kFailRefused = 4,          // upgrade reply result 2
  kFailNoFirstAck = 5,       // no ACK for the write request or the first block
  kFailFileSize = 6,         // the file's size could not be measured
  kFailNoAck = 7,            // no ACK during the transfer
  kFailNotRediscovered = 8,  // the agent did not come back after its reboot
  kFailTftpError = 9,        // the agent sent a TFTP ERROR packet
  kFailRefusedOther = 10,    // upgrade reply result 10
};

inline constexpr uint16_t kTftpRrq = 1;
inline constexpr uint16_t kTftpWrq = 2;
inline constexpr uint16_t kTftpData = 3;
inline constexpr uint16_t kTftpAck = 4;
inline constexpr uint16_t kTftpError = 5;
inline constexpr uint16_t kTftpServerPort = 69;
inline constexpr size_t kTftpBlockSize = 512;

// Waits and limits of the transfer states, in ticks and resends.
inline constexpr uint32_t kWrqWaitMs = 2000;
inline constexpr uint32_t kEraseWaitMs = 1000;
inline constexpr uint32_t kBlockWaitMs = 2000;
inline constexpr uint32_t kTransferRetryLimit = 3;
inline constexpr uint8_t kRestartLimit = 3;

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f != nullptr) std::fclose(f);
  }
};

// One upload to one agent. Addresses and tidPort in network order.
struct TftpSession {
  int32_t isupgrading = 0;  // 1 from the start of the upload until it ends
  int32_t upgradeStatus = kUploadQueued;
  uint8_t restartCount = 0;  // upgrade-request resends plus restarts; limit 3
  // Resends of the current TFTP packet. Wide, so that an erase wait longer
  // than 255 one-second resends is counted in full.
  uint32_t retryCount = 0;
  uint8_t rediscoverCount = 0;  // rediscovery requests after the reboot wait
  uint32_t lastTick = 0;        // last send or state change; waits start here
  uint32_t rebootWaitSeconds = 0;
  uint32_t eraseWaitCount = 0;  // one-second resends of DATA 1 allowed
  uint16_t tidPort = 0;         // the agent's transfer port, from ACK 0
  uint32_t agentIpAddr = 0;
  uint32_t agentNetmask = 0;
  std::unique_ptr<std::FILE, FileCloser> file;
  uint16_t requestSequence = 0;
  uint8_t lastPacket[kMaxPacketSize] = {};
  int32_t lastPacketLength = 0;
  // DATA blocks sent so far; counts on past 65535 (the wire number wraps).
  int64_t blockCounter = 0;
  uint8_t reply[kMaxPacketSize] = {};  // the agent's discovery reply at Done
  int32_t replyLength = 0;
  int64_t fwFileSize = 0;
  int64_t transmitedSize = 0;
  uint8_t macAddr[kMacSize] = {};
  char oldPassword[21] = {};
  char strUpType[11] = {};
  char strEncryptKey[9] = {};
  int32_t failedCode = 0;
  // The status last told to the history (-1: none yet).
  int32_t toldStatus = -1;
};

// The uploads in the order they were added, guarded by TftpSessionLock().
std::list<std::unique_ptr<TftpSession>>& TftpSessionList();

// The 16-bit block number a DATA packet carries for block `counter`.
inline uint16_t WireBlock(int64_t counter) { return static_cast<uint16_t>(counter & 0xFFFF); }

// Packet builders into `out` (room for kMaxPacketSize bytes); each returns
// the length, 0 when the name does not fit.
size_t BuildWrq(const char* fileName, uint8_t* out);
size_t BuildData(uint16_t block, const uint8_t* bytes, size_t length, uint8_t* out);
size_t BuildError(uint16_t code, const char* text, uint8_t* out);

// One datagram from a transfer socket (TransferProcessThread): 0 when it is
// neither ACK nor ERROR, else 1. Takes TftpSessionLock. A datagram belongs
// to an upload's transfer when it comes from the agent's address and from
// the port that answered the write request (any port until then). While a
// transfer runs, a TFTP datagram that belongs to none (another address or
// another port) is answered with ERROR 5 "Unknown transfer ID", an ERROR
// excepted, and changes nothing.
int32_t HandleTftpPacket(const ReceivedPacket& packet);
// Bytes of files sent in DATA blocks since the process started, each block
// counted when it first goes out (not its resends). Safe from any thread.
uint64_t UploadBytesSent();
// Sends the write request for `upload` to its agent's port 69 and enters
// WrqSent.
void SendWrq(TftpSession& upload);
// The resend, restart and failure rules of the transfer states, once a tick.
void TransferTick(TftpSession& upload);

}  // namespace ferro
