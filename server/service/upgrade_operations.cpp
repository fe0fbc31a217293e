// Operations that upload a firmware image or a configuration file to a queue
// of agents and report the progress. They translate between the service's
// values and the upgrade scheduler; all timing and transfers are the
// scheduler's.

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/discovery.h"
#include "engine/monitoring.h"
#include "engine/traps.h"
#include "engine/upgrade.h"
#include "fault.h"
#include "platform/codepage.h"
#include "platform/file_path.h"
#include "protocol/agent_decoder.h"
#include "soapH.h"
#include "switchinfo_convert.h"

namespace {

// Room of the type and key texts handed to the scheduler (with their NUL).
constexpr size_t kTextRoom = 260;

void Log(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

std::string Narrow(const std::wstring& text) { return ferro::WideToAnsi(text, kTextRoom - 1); }

int ToInt(int64_t value) { return static_cast<int>(std::clamp<int64_t>(value, 0, INT_MAX)); }

int QueueFull(struct soap* soap) {
  return ferro::OperationFailed(soap, "the upload queue is full");
}

int AlreadyQueued(struct soap* soap, const uint8_t* mac) {
  return ferro::OperationFailed(soap, "an upload of " + ferro::FormatMacText(mac) +
                                          " is already queued or running; nothing was queued");
}

// Queues `record` with `password` as the password presented to the agent.
bool QueueWithPassword(ferro::AgentRecord record, const std::string& password) {
  std::memset(record.oldPassword, 0, sizeof record.oldPassword);
  std::memcpy(record.oldPassword, password.data(),
              std::min(password.size(), sizeof record.oldPassword - 1));
  return ferro::AddUpload(&record) != 0;
}

}  // namespace

// Empties the queue, then sets the file and its parameters. errorcode 1 when
// the path is too long or names no regular file, or the size is not positive
// (the setters after the refused one keep their old values); the call itself
// always succeeds. The path is taken in the file system's own encoding, whole
// or not at all.
int ns__SetFwFilePath(struct soap*, std::wstring strFwFilePath, std::wstring strUpType,
                      std::wstring strEncryptKey, int intFileSize, unsigned int& errorcode) {
  Log("SetFwFilePath begin. \n");
  errorcode = 0;
  ferro::ClearUploads();
  const std::optional<std::string> path =
      ferro::WidePathToNative(strFwFilePath, ferro::kMaxPathBytes);
  const std::string type = Narrow(strUpType);
  const std::string key = Narrow(strEncryptKey);
  if (!path || ferro::SetUpgradeFilePath(path->c_str()) == 0 ||
      ferro::SetUpgradeType(type.c_str()) == 0 || ferro::SetUpgradeEncryptKey(key.c_str()) == 0 ||
      ferro::SetUpgradeFileSize(intFileSize) == 0) {
    errorcode = 1;
  }
  return SOAP_OK;
}

// Queues every agent of the list in order. A list that names an agent twice,
// or an agent whose upload is already queued or running, is refused whole
// with a fault before anything is queued; a full queue ends the call with a
// fault and the agents before it stay queued.
int ns__AddUpgradeAgent(struct soap* soap, std::vector<ns__SwitchInfo> vecSwitchInfo,
                        unsigned int& errorcode) {
  Log("AddUpgradeAgent begin. \n");
  std::vector<std::array<uint8_t, ferro::kMacSize>> macs;
  for (const ns__SwitchInfo& info : vecSwitchInfo) {
    std::array<uint8_t, ferro::kMacSize> mac{};
    ferro::ParseMacText(info.macAddr, mac.data());  // one that does not parse stays zero
    if (std::find(macs.begin(), macs.end(), mac) != macs.end()) {
      return ferro::OperationFailed(soap, "the list names " + ferro::FormatMacText(mac.data()) +
                                              " twice; nothing was queued");
    }
    if (ferro::HasPendingUpload(mac.data())) return AlreadyQueued(soap, mac.data());
    macs.push_back(mac);
  }
  for (const ns__SwitchInfo& info : vecSwitchInfo) {
    ferro::AgentRecord record{};
    ferro::SwitchInfoToAgentRecord(info, record);
    if (ferro::AddUpload(&record) == 0) {
      return ferro::OperationFailed(soap,
                                    "the upload queue is full (" + info.macAddr + " not queued)");
    }
  }
  errorcode = 0;
  return SOAP_OK;
}

// Queues the agent with that MAC text (upper-case pairs joined by "-"),
// looked up among the discovered agents and then the watched ones, with
// `password` presented to it. Type, key and size are those of SetFwFilePath.
int ns__AddUpgradeAgentEx(struct soap* soap, std::string macAddr, std::string password, std::string,
                          std::string, int, unsigned int& errorcode) {
  Log("AddUpgradeAgentEx begin. \n");
  std::vector<ferro::AgentRecord> discovered;
  ferro::CopyDiscoveryList(discovered);
  for (const ferro::AgentRecord& record : discovered) {
    if (ferro::FormatMacText(record.macAddr) != macAddr) continue;
    if (ferro::HasPendingUpload(record.macAddr)) return AlreadyQueued(soap, record.macAddr);
    if (!QueueWithPassword(record, password)) return QueueFull(soap);
    errorcode = 0;
    return SOAP_OK;
  }
  ferro::WatchedAgent node;
  for (size_t i = 0; ferro::GetWatchedAgent(i, node) != 0; ++i) {
    if (ferro::FormatMacText(node.record.macAddr) != macAddr) continue;
    if (ferro::HasPendingUpload(node.record.macAddr)) {
      return AlreadyQueued(soap, node.record.macAddr);
    }
    if (!QueueWithPassword(node.record, password)) return QueueFull(soap);
    errorcode = 0;
    return SOAP_OK;
  }
  return ferro::OperationFailed(soap, "no discovered or watched agent has the MAC \"" + macAddr +
                                          "\" (upper-case pairs joined by \"-\")");
}

// Starts the next queued upload; a fault when none could start.
int ns__StartUpgrade(struct soap* soap, int, std::string, unsigned int& errorcode) {
  Log("StartUpgrade begin. \n");
  if (ferro::StartUploads() == 0) {
    return ferro::OperationFailed(
        soap, "no queued upload could start (none queued, or its file cannot be opened)");
  }
  errorcode = 0;
  return SOAP_OK;
}

// Discards every upload, running or not, with its static ARP entries.
int ns__EndUpgrade(struct soap*, int, std::string, unsigned int& errorcode) {
  Log("EndUpgrade begin. \n");
  ferro::ClearUploads();
  errorcode = 0;
  return SOAP_OK;
}

// The agent being upgraded now, or "0" and "0" when none is.
int ns__GetUpgradingAgent(struct soap*, int, std::string, ns__UpgradeAddr& result) {
  uint8_t mac[ferro::kMacSize] = {};
  uint32_t ip = 0;
  if (ferro::FindUpgradingAgent(mac, &ip) != 0) {
    result.strMacAddr = ferro::FormatMacText(mac);
    result.strIpAddr = ferro::FormatIpText(reinterpret_cast<const uint8_t*>(&ip));
  } else {
    result.strMacAddr = "0";
    result.strIpAddr = "0";
  }
  return SOAP_OK;
}

// The state of the latest upload queued for that MAC; at Done also the
// agent as it answered after its reboot.
int ns__GetUpgradeStatus(struct soap* soap, std::string strMacAddr, ns__UpgradeInfo& result) {
  uint8_t mac[ferro::kMacSize] = {};
  auto snapshot = std::make_unique<ferro::UpgradeStatusSnapshot>();
  if (ferro::ParseMacText(strMacAddr, mac) != 0) {
    return ferro::OperationFailed(soap, "\"" + strMacAddr + "\" is not a MAC address");
  }
  if (ferro::GetUpgradeSnapshot(mac, snapshot.get()) == 0) {
    return ferro::OperationFailed(soap, "no upload is queued for " + strMacAddr);
  }
  result.isupgrading = snapshot->isupgrading;
  result.upgradeStatus = snapshot->upgradeStatus;
  result.fwFileSize = ToInt(snapshot->fwFileSize);
  result.transmitedSize = ToInt(snapshot->transmitedSize);
  result.failedCode = snapshot->failedCode;
  char time[20];
  ferro::FormatLocalTime(time, sizeof time);
  result.time = time;
  result.agentInfo.soap_default(soap);  // empty texts and zeros until Done
  if (snapshot->replyLength != 0) {
    ferro::AgentRecord record{};
    if (ferro::DecodeAgentPacket(snapshot->reply, static_cast<size_t>(snapshot->replyLength),
                                 record) == ferro::DecodeOutcome::kOk) {
      ferro::AgentRecordToSwitchInfo(record, result.agentInfo);
    }
  }
  return SOAP_OK;
}
