#include "engine/upgrade.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "engine/engine.h"
#include "engine/engine_state.h"
#include "engine/events.h"
#include "net/arp.h"
#include "net/transport.h"
#include "platform/file_path.h"
#include "platform/tick.h"
#include "protocol/agent_encoder.h"

namespace ferro {
namespace {

// Uploads one run may queue; a request beyond it is refused like a failed
// allocation, so that no caller can grow the list without bound.
constexpr size_t kMaxUploads = 4096;
constexpr char kConfigType[] = "config";

// The parameters have a lock of their own, taken innermost (also inside
// TftpSessionLock, never around another lock).
std::mutex& ParametersLock() {
  static std::mutex lock;
  return lock;
}
UpgradeParameters& Parameters() {
  static UpgradeParameters params;
  return params;
}

void CopyText(char* out, size_t room, const char* text) {
  std::memset(out, 0, room);
  std::memcpy(out, text, strnlen(text, room - 1));
}

bool IsConfig(const char* type) { return std::strcmp(type, kConfigType) == 0; }

bool SameMac(const uint8_t* a, const uint8_t* b) { return std::memcmp(a, b, kMacSize) == 0; }

bool IsFinal(const TftpSession& upload) {
  return upload.upgradeStatus == kUploadDone || upload.upgradeStatus == kUploadFailed;
}

bool PendingWithMac(const uint8_t* mac) {
  return std::any_of(TftpSessionList().begin(), TftpSessionList().end(),
                     [&](const auto& u) { return !IsFinal(*u) && SameMac(u->macAddr, mac); });
}

TftpSession* FirstActiveWithMac(const uint8_t* mac) {
  for (auto& u : TftpSessionList()) {
    if (u->isupgrading != 0 && SameMac(u->macAddr, mac)) return u.get();
  }
  return nullptr;
}

// Builds a fresh upgrade request for the upload, pins the agent's address
// to its MAC on every adapter, and sends the request by broadcast and
// multicast from every local address. The request stays in lastPacket.
void SendUpgradeRequest(TftpSession& upload) {
  const uint16_t sequence = NextSequence();
  std::memset(upload.lastPacket, 0, sizeof upload.lastPacket);
  const size_t length =
      BuildUpgradeRequest(upload, GetUpgradeParameters(), sequence, upload.lastPacket);
  SetStaticArpAll(upload.agentIpAddr, upload.macAddr);
  SendToAll(upload.lastPacket, length);
  upload.lastPacketLength = static_cast<int32_t>(length);
  upload.requestSequence = sequence;
}

// Tells the router which agents' discovery replies are awaited by an
// upload (caller holds TftpSessionLock): only those are copied to the
// transfer side.
void PublishAwaitedRediscoveries() {
  std::vector<RediscoveryWatch::Mac> macs;
  for (const auto& u : TftpSessionList()) {
    if (u->upgradeStatus != kUploadRediscovering) continue;
    RediscoveryWatch::Mac mac;
    std::memcpy(mac.data(), u->macAddr, kMacSize);
    if (std::find(macs.begin(), macs.end(), mac) == macs.end()) macs.push_back(mac);
  }
  AwaitedRediscoveries().Set(std::move(macs));
}

void Resend(TftpSession& upload, uint32_t now) {
  SendToAll(upload.lastPacket, static_cast<size_t>(upload.lastPacketLength));
  upload.lastTick = now;
}

// The reboot wait in ticks: a wait of 2^31 ticks or more is cut there, the
// longest the tick arithmetic can measure.
uint32_t RebootWaitMs(const TftpSession& upload) {
  if (upload.rebootWaitSeconds == 0) return kDefaultRebootWaitMs;
  const uint64_t ms = uint64_t{upload.rebootWaitSeconds} * 1000;
  return static_cast<uint32_t>(std::min<uint64_t>(ms, 0x7FFFFFFF));
}

void TickOne(TftpSession& upload, uint32_t now) {
  switch (upload.upgradeStatus) {
    case kUploadRequestSent:
      if (!TickElapsed(now, upload.lastTick, kUpgradeRequestWaitMs)) return;
      if (upload.restartCount < kRestartLimit) {
        Resend(upload, now);
        upload.restartCount += 1;
      } else {
        FailUpload(upload, kFailNoUpgradeReply);
        StartNextUpload();
      }
      return;
    case kUploadWrqSent:
    case kUploadEraseWait:
    case kUploadSending:
    case kUploadLastBlockSent:
      TransferTick(upload);
      return;
    case kUploadRebootWait:
      if (!TickElapsed(now, upload.lastTick, RebootWaitMs(upload))) return;
      std::memset(upload.lastPacket, 0, sizeof upload.lastPacket);
      upload.lastPacketLength =
          static_cast<int32_t>(BuildPacketHeader(kOpDiscover, upload.lastPacket));
      SetPacketSequence(upload.lastPacket, kRediscoverySequence);
      // The agent is awaited before it is asked: its reply may come back
      // before this step ends.
      upload.upgradeStatus = kUploadRediscovering;
      PublishAwaitedRediscoveries();
      Resend(upload, now);
      return;
    case kUploadRediscovering:
      if (!TickElapsed(now, upload.lastTick, kRediscoverWaitMs)) return;
      if (upload.rediscoverCount < kRediscoverLimit) {
        Resend(upload, now);
        upload.rediscoverCount += 1;
      } else if (upload.restartCount < kRestartLimit) {
        RestartUpload(upload);
        upload.restartCount += 1;
      } else {
        FailUpload(upload, kFailNotRediscovered);
        StartNextUpload();
      }
      return;
    default:
      return;
  }
}

}  // namespace

std::list<std::unique_ptr<TftpSession>>& TftpSessionList() {
  static auto* list = new std::list<std::unique_ptr<TftpSession>>;
  return *list;
}

namespace {

const char* StatusName(int32_t status) {
  switch (status) {
    case kUploadQueued:
      return "Queued";
    case kUploadRequestSent:
      return "RequestSent";
    case kUploadWrqSent:
      return "WrqSent";
    case kUploadEraseWait:
      return "EraseWait";
    case kUploadSending:
      return "Sending";
    case kUploadLastBlockSent:
      return "LastBlockSent";
    case kUploadRebootWait:
      return "RebootWait";
    case kUploadRediscovering:
      return "Rediscovering";
    case kUploadDone:
      return "Done";
    case kUploadFailed:
      return "Failed";
    default:
      return "Unknown";
  }
}

const char* FailureText(int32_t code) {
  switch (code) {
    case kFailFileOpen:
      return "the file could not be opened";
    case kFailSeek:
      return "the file could not be read";
    case kFailNoUpgradeReply:
      return "the agent did not answer the upgrade request";
    case kFailRefused:
      return "the agent refused the upgrade";
    case kFailNoFirstAck:
      return "the agent did not acknowledge the transfer's start";
    case kFailFileSize:
      return "the file's size could not be measured";
    case kFailNoAck:
      return "the agent stopped acknowledging the transfer";
    case kFailNotRediscovered:
      return "the agent did not come back after its reboot";
    case kFailTftpError:
      return "the agent sent a TFTP error";
    case kFailRefusedOther:
      return "the agent refused the upgrade (result 10)";
    default:
      return "failed";
  }
}

// The last part of the upload file's path.
std::string UploadFileName() {
  const std::string path = GetUpgradeParameters().path;
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Collects, with TftpSessionLock held, an event for every upload whose
// status changed since it was last told.
void CollectUploadChanges(std::vector<EngineEvent>& events) {
  std::string file;
  for (auto& u : TftpSessionList()) {
    if (u->upgradeStatus == u->toldStatus) continue;
    const bool queued = u->toldStatus == -1 && u->upgradeStatus == kUploadQueued;
    u->toldStatus = u->upgradeStatus;
    if (file.empty()) file = UploadFileName();
    EngineEvent event;
    event.kind = queued ? "upload_queued" : IsFinal(*u) ? "upload_end" : "upload_state";
    event.mac = MacOf(u->macAddr);
    event.address = AddressText(reinterpret_cast<const uint8_t*>(&u->agentIpAddr));
    const bool failed = u->upgradeStatus == kUploadFailed;
    const std::string codeText = failed                            ? FailureText(u->failedCode)
                                 : u->upgradeStatus == kUploadDone ? "done"
                                                                   : "";
    event.text = "upload of " + file + " to " + event.address + ": " +
                 (queued ? "queued" : StatusName(u->upgradeStatus)) +
                 (failed ? " (" + codeText + ")" : "");
    event.fields = {{"file", file},
                    {"state", StatusName(u->upgradeStatus)},
                    {"code", failed ? u->failedCode : 0},
                    {"code_text", codeText},
                    {"bytes", u->transmitedSize}};
    events.push_back(std::move(event));
  }
}

}  // namespace

void ReportUploadChanges() {
  if (!EventsWanted()) return;
  std::vector<EngineEvent> events;
  {
    std::lock_guard lock(TftpSessionLock());
    CollectUploadChanges(events);
  }
  for (EngineEvent& e : events) EmitEvent(std::move(e));
}

int32_t SetUpgradeFilePath(const char* path) {
  // Only a regular file can be sent, not a folder, a FIFO or a device. A path
  // longer than what is kept is refused: cut, it would name another file.
  if (path == nullptr || strnlen(path, kUpgradePathBytes + 1) > kUpgradePathBytes ||
      !IsRegularFile(path)) {
    return 0;
  }
  std::lock_guard lock(ParametersLock());
  CopyText(Parameters().path, sizeof Parameters().path, path);
  return 1;
}

int32_t SetUpgradeType(const char* type) {
  if (type == nullptr) return 0;
  std::lock_guard lock(ParametersLock());
  CopyText(Parameters().type, sizeof Parameters().type, type);
  return 1;
}

int32_t SetUpgradeEncryptKey(const char* key) {
  if (key == nullptr) return 0;
  std::lock_guard lock(ParametersLock());
  CopyText(Parameters().key, sizeof Parameters().key, key);
  return 1;
}

int32_t SetUpgradeFileSize(int32_t size) {
  if (size <= 0) return 0;
  std::lock_guard lock(ParametersLock());
  Parameters().fileSize = size;
  return 1;
}

UpgradeParameters GetUpgradeParameters() {
  std::lock_guard lock(ParametersLock());
  return Parameters();
}

size_t BuildUpgradeRequest(const TftpSession& upload, const UpgradeParameters& params,
                           uint16_t sequence, uint8_t* out) {
  BuildPacketHeader(kOpUpgradeRequest, out);
  SetPacketAgentMac(out, upload.macAddr);
  SetPacketSequence(out, sequence);
  const size_t password = AppendPasswordTlv(
      upload.oldPassword, strnlen(upload.oldPassword, sizeof upload.oldPassword), out);
  TlvWriter items(out, kMaxPacketSize, kPacketHeaderSize + password);
  items.Put(kTlvUpgradeType, upload.strUpType, strnlen(upload.strUpType, sizeof upload.strUpType));
  if (IsConfig(upload.strUpType)) {
    items.Put(kTlvEncryptKey, upload.strEncryptKey,
              strnlen(upload.strEncryptKey, sizeof upload.strEncryptKey));
  }
  items.Put(kTlvUpgradeFile, params.path, strnlen(params.path, sizeof params.path));
  items.PutU32(kTlvUpgradeSize, static_cast<uint32_t>(params.fileSize));
  return items.end();
}

int32_t ClearUploads() {
  UpgradeTimer().Cancel();
  std::lock_guard lock(TftpSessionLock());
  auto& list = TftpSessionList();
  while (!list.empty()) {
    std::unique_ptr<TftpSession> upload = std::move(list.front());
    list.pop_front();
    upload->file.reset();
    DeleteArpAll(upload->agentIpAddr);
  }
  PublishAwaitedRediscoveries();
  return 1;
}

int32_t AddUpload(const AgentRecord* agent) {
  if (agent == nullptr) return 0;
  const UpgradeParameters params = GetUpgradeParameters();
  auto upload = std::make_unique<TftpSession>();
  upload->rebootWaitSeconds = IsConfig(params.type) ? kConfigRebootWaitS : agent->upgradeRebootTime;
  upload->eraseWaitCount = agent->upgradeEreaseFlashTime;
  std::memcpy(&upload->agentIpAddr, agent->agentIpAddr, 4);
  std::memcpy(&upload->agentNetmask, agent->agentNetmask, 4);
  std::memcpy(upload->macAddr, agent->macAddr, kMacSize);
  std::memcpy(upload->oldPassword, agent->oldPassword, sizeof upload->oldPassword);
  CopyText(upload->strUpType, sizeof upload->strUpType, params.type);
  CopyText(upload->strEncryptKey, sizeof upload->strEncryptKey, params.key);
  {
    std::lock_guard lock(TftpSessionLock());
    if (TftpSessionList().size() >= kMaxUploads) return 0;
    // One agent is flashed once per run: a second upload of the same MAC
    // would be matched against the first one's replies.
    if (PendingWithMac(agent->macAddr)) return 0;
    TftpSessionList().push_back(std::move(upload));
  }
  ReportUploadChanges();
  return 1;
}

bool HasPendingUpload(const uint8_t* mac) {
  std::lock_guard lock(TftpSessionLock());
  return PendingWithMac(mac);
}

int32_t StartUploads() {
  if (!UpgradeTimer().Arm(kUpgradeTimerPeriodMs, kUpgradeTimerPeriodMs)) return 0;
  int32_t started;
  {
    std::lock_guard lock(TftpSessionLock());
    started = StartNextUpload();
  }
  ReportUploadChanges();
  return started;
}

int32_t FindUpgradingAgent(uint8_t* mac, uint32_t* ip) {
  if (mac == nullptr || ip == nullptr) return 0;
  std::lock_guard lock(TftpSessionLock());
  for (const auto& u : TftpSessionList()) {
    if (u->isupgrading != 0) {
      std::memcpy(mac, u->macAddr, kMacSize);
      *ip = u->agentIpAddr;
      return 1;
    }
  }
  return 0;
}

UploadCounts CountUploads() {
  UploadCounts counts;
  std::lock_guard lock(TftpSessionLock());
  for (const auto& u : TftpSessionList()) {
    if (u->upgradeStatus == kUploadDone) {
      ++counts.done;
    } else if (u->upgradeStatus == kUploadFailed) {
      ++counts.failed;
    } else if (u->isupgrading != 0) {
      ++counts.active;
    } else {
      ++counts.queued;
    }
  }
  return counts;
}

int32_t GetUpgradeSnapshot(const uint8_t* mac, UpgradeStatusSnapshot* out) {
  if (mac == nullptr || out == nullptr) return 0;
  std::lock_guard lock(TftpSessionLock());
  const auto& list = TftpSessionList();
  const auto it = std::find_if(list.rbegin(), list.rend(),
                               [&](const auto& u) { return SameMac(u->macAddr, mac); });
  if (it == list.rend()) return 0;
  const TftpSession& u = **it;
  out->isupgrading = u.isupgrading;
  out->upgradeStatus = u.upgradeStatus;
  out->restartCount = u.restartCount;
  out->retryCount = u.retryCount;
  out->rediscoverCount = u.rediscoverCount;
  out->blockCounter = u.blockCounter;
  out->fwFileSize = u.fwFileSize;
  out->transmitedSize = u.transmitedSize;
  out->failedCode = u.failedCode;
  if (u.upgradeStatus == kUploadDone) {
    std::memcpy(out->reply, u.reply, sizeof out->reply);
    out->replyLength = u.replyLength;
  }
  return 1;
}

int32_t StartNextUpload() {
  for (auto& u : TftpSessionList()) {
    if (u->upgradeStatus == kUploadQueued && StartUpload(*u) != 0) return 1;
  }
  return 0;
}

int32_t StartUpload(TftpSession& upload) {
  // Runs on the request thread and the engine's, with TftpSessionLock held:
  // the open must not wait on the file, and anything but a regular file
  // (replaced since it was set) fails the upload.
  std::unique_ptr<std::FILE, FileCloser> file(OpenRegularFile(GetUpgradeParameters().path));
  if (!file) {
    FailUpload(upload, kFailFileOpen);
    return 0;
  }
  if (fseeko(file.get(), 0, SEEK_END) != 0) {
    FailUpload(upload, kFailFileSize);
    return 0;
  }
  const off_t size = ftello(file.get());
  if (size < 0) {
    FailUpload(upload, kFailFileSize);
    return 0;
  }
  upload.file = std::move(file);
  upload.fwFileSize = size;
  upload.transmitedSize = 0;
  upload.isupgrading = 1;
  upload.upgradeStatus = kUploadRequestSent;
  // Stamped before the request leaves: the receive thread stamps the reply
  // when it arrives, which may be before this thread runs again, and a
  // reply stamped earlier than its request would count as late.
  upload.lastTick = GetTick();
  SendUpgradeRequest(upload);
  return 1;
}

void RestartUpload(TftpSession& upload) {
  upload.retryCount = 0;
  upload.rediscoverCount = 0;
  upload.blockCounter = 0;
  upload.transmitedSize = 0;
  upload.tidPort = 0;
  upload.upgradeStatus = kUploadRequestSent;
  upload.lastTick = GetTick();  // before the request leaves, as above
  SendUpgradeRequest(upload);
}

void FailUpload(TftpSession& upload, int32_t code) {
  upload.upgradeStatus = kUploadFailed;
  upload.isupgrading = 0;
  upload.failedCode = code;
  upload.file.reset();
}

void HandleUpgradeReply(const ReceivedPacket& packet) {
  const uint16_t result = packet.result;
  if (result != 0 && result != 2 && result != 10) return;
  std::lock_guard lock(TftpSessionLock());
  TftpSession* upload = FirstActiveWithMac(packet.agentMac);
  if (upload == nullptr || upload->requestSequence != packet.sequence ||
      upload->upgradeStatus != kUploadRequestSent ||
      TickElapsed(packet.rxTick, upload->lastTick, kUpgradeReplyWindowMs)) {
    return;
  }
  if (result == 0) {
    SendWrq(*upload);
    return;
  }
  FailUpload(*upload, result == 2 ? kFailRefused : kFailRefusedOther);
  StartNextUpload();
}

void HandleRediscoveryReply(const ReceivedPacket& packet) {
  const size_t length = static_cast<size_t>(std::max(packet.length, 0));
  std::lock_guard lock(TftpSessionLock());
  auto& list = TftpSessionList();
  // The upload of that agent that waits for it to come back; a finished
  // upload of the same MAC earlier in the list is not the one.
  const auto it = std::find_if(list.begin(), list.end(), [&](const auto& u) {
    return u->upgradeStatus == kUploadRediscovering && SameMac(u->macAddr, packet.agentMac);
  });
  if (it == list.end()) return;
  TftpSession& upload = **it;
  upload.upgradeStatus = kUploadDone;
  upload.isupgrading = 0;
  const size_t kept = std::min(length, sizeof upload.reply);
  std::memcpy(upload.reply, packet.data, kept);
  upload.replyLength = static_cast<int32_t>(kept);
  upload.file.reset();
  StartNextUpload();
  PublishAwaitedRediscoveries();
}

void RediscoveryWatch::Set(std::vector<Mac> macs) {
  std::lock_guard lock(mu_);
  macs_ = std::move(macs);
  count_.store(macs_.size(), std::memory_order_release);
}

bool RediscoveryWatch::Contains(const uint8_t* mac) const {
  if (Empty()) return false;
  std::lock_guard lock(mu_);
  return std::any_of(macs_.begin(), macs_.end(),
                     [mac](const Mac& m) { return SameMac(m.data(), mac); });
}

std::vector<RediscoveryWatch::Mac> RediscoveryWatch::Snapshot() const {
  std::lock_guard lock(mu_);
  return macs_;
}

RediscoveryWatch& AwaitedRediscoveries() {
  static RediscoveryWatch watch;
  return watch;
}

bool IsRediscoveryAwaited(const ReceivedPacket& packet) {
  return AwaitedRediscoveries().Contains(packet.agentMac);
}

void UpgradeTick() {
  std::lock_guard lock(TftpSessionLock());
  const uint32_t now = GetTick();
  for (auto& u : TftpSessionList()) {
    if (u->isupgrading != 0) TickOne(*u, now);
  }
  // Uploads that failed or started over stop waiting for their agents.
  PublishAwaitedRediscoveries();
}

}  // namespace ferro
