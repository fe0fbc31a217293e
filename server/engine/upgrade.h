#pragma once
// The upgrade scheduler: delivers one file (a firmware image, or a
// configuration file when the upload type is "config") to a queue of agents,
// one after the other. Each agent is taken through the upgrade request, the
// TFTP transfer (tftp_client.h), the reboot wait and its rediscovery, to
// Done or to a failure code.
//
// The UpgradeTimer drives every wait once a second (UpgradeTick on the
// UpgradeTimerThread); replies arrive on the TransferProcessThread
// (HandleUpgradeReply, HandleRediscoveryReply and, for the transfer
// sockets, HandleTftpPacket). Every step holds TftpSessionLock throughout.

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "engine/tftp_client.h"
#include "protocol/agent_record.h"

namespace ferro {

// Upload parameters, one set for the whole system, kept until set again.
inline constexpr size_t kUpgradePathBytes = 260;
inline constexpr size_t kUpgradeTypeBytes = 10;
inline constexpr size_t kUpgradeKeyBytes = 8;
// 0 when `path` is null, longer than 260 bytes or names no regular file;
// else keeps it and returns 1.
int32_t SetUpgradeFilePath(const char* path);
// 0 for a null text; else keeps at most 10 (8) bytes and returns 1.
int32_t SetUpgradeType(const char* type);
int32_t SetUpgradeEncryptKey(const char* key);
// 0 when `size` is not positive; else keeps it (sent to the agent as is).
int32_t SetUpgradeFileSize(int32_t size);

struct UpgradeParameters {
  char path[kUpgradePathBytes + 1] = {};
  char type[kUpgradeTypeBytes + 1] = {};
  char key[kUpgradeKeyBytes + 1] = {};
  int32_t fileSize = 0;
};
UpgradeParameters GetUpgradeParameters();

// Waits of the scheduler, in ticks.
inline constexpr uint32_t kUpgradeReplyWindowMs = 3000;   // reply accepted this long
inline constexpr uint32_t kUpgradeRequestWaitMs = 2000;   // between upgrade requests
inline constexpr uint32_t kConfigRebootWaitS = 80;        // reboot wait of "config"
inline constexpr uint32_t kDefaultRebootWaitMs = 110000;  // agent reporting 0
inline constexpr uint32_t kRediscoverWaitMs = 1000;
inline constexpr uint8_t kRediscoverLimit = 60;
inline constexpr uint16_t kRediscoverySequence = 3;

// TLV items of the upgrade request.
inline constexpr uint16_t kTlvUpgradeType = 32;
inline constexpr uint16_t kTlvEncryptKey = 33;
inline constexpr uint16_t kTlvUpgradeFile = 34;
inline constexpr uint16_t kTlvUpgradeSize = 35;

// Builds the upgrade request for `upload` with `sequence` into `out` (a
// zeroed buffer of kMaxPacketSize bytes); returns its length.
size_t BuildUpgradeRequest(const TftpSession& upload, const UpgradeParameters& params,
                           uint16_t sequence, uint8_t* out);

// Cancels the timer and deletes every upload (closing its file and removing
// its static ARP entries). Returns 1.
int32_t ClearUploads();
// Appends a Queued upload for `agent` with the current type and key.
// 0 for a null record, a full list, or an agent whose earlier upload is
// still queued or running (HasPendingUpload); else 1.
int32_t AddUpload(const AgentRecord* agent);
// True when an upload of `mac` is queued or running (neither Done nor
// Failed).
bool HasPendingUpload(const uint8_t* mac);
// Arms the timer (first expiry after 1 s, then every second) and starts the
// next queued upload. 0 when the timer cannot be armed or nothing started.
int32_t StartUploads();
// For the first active upload: its MAC and address; 0 when none is active.
int32_t FindUpgradingAgent(uint8_t* mac, uint32_t* ip);

struct UpgradeStatusSnapshot {
  int32_t isupgrading = 0;
  int32_t upgradeStatus = 0;
  uint8_t restartCount = 0;
  uint32_t retryCount = 0;
  uint8_t rediscoverCount = 0;
  int64_t blockCounter = 0;
  uint8_t reply[kMaxPacketSize] = {};  // only at Done
  int32_t replyLength = 0;
  int64_t fwFileSize = 0;
  int64_t transmitedSize = 0;
  int32_t failedCode = 0;
};
// How many uploads are in each stage, read under TftpSessionLock.
struct UploadCounts {
  size_t active = 0;  // started and not ended
  size_t queued = 0;  // waiting for their turn
  size_t done = 0;
  size_t failed = 0;
};
UploadCounts CountUploads();

// Copies the state of the last upload in the list with `mac`; 0 for null
// arguments or when no upload has that MAC.
int32_t GetUpgradeSnapshot(const uint8_t* mac, UpgradeStatusSnapshot* out);

// Tells the history of every upload whose status changed since it was last
// told: queued, each new state, and the end (Done, or the failure in words).
// Run after each step of the scheduler, without TftpSessionLock.
void ReportUploadChanges();

// Inside the scheduler, each with TftpSessionLock held.
int32_t StartNextUpload();
int32_t StartUpload(TftpSession& upload);
void RestartUpload(TftpSession& upload);
void FailUpload(TftpSession& upload, int32_t code);

// Handlers of the TransferProcessThread (the dispatch table sends upgrade
// replies there, and the discovery replies IsRediscoveryAwaited accepts).
void HandleUpgradeReply(const ReceivedPacket& packet);
void HandleRediscoveryReply(const ReceivedPacket& packet);

// Agents whose discovery replies an upload is waiting for (it looks for
// them again after their reboot), kept current by the scheduler. The lock
// is a leaf: it is taken inside any other lock, never around one.
class RediscoveryWatch {
 public:
  using Mac = std::array<uint8_t, kMacSize>;
  void Set(std::vector<Mac> macs);
  bool Empty() const { return count_.load(std::memory_order_acquire) == 0; }
  bool Contains(const uint8_t* mac) const;
  std::vector<Mac> Snapshot() const;

 private:
  mutable std::mutex mu_;
  std::vector<Mac> macs_;
  std::atomic<size_t> count_{0};
};
RediscoveryWatch& AwaitedRediscoveries();
// Whether an upload awaits the agent of this discovery reply (the receive
// thread asks, once the reply was received: an upload starts waiting for
// its agent before it asks, so no reply to that request is missed).
bool IsRediscoveryAwaited(const ReceivedPacket& packet);
// One expiry of the UpgradeTimer.
void UpgradeTick();

}  // namespace ferro
