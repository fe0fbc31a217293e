// Operations that start the engine, run a discovery, list the agents and
// read or change the engine's two intervals.

#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/discovery.h"
#include "engine/engine.h"
#include "engine/engine_config.h"
#include "engine/monitoring.h"
#include "engine/protocol_hooks.h"
#include "engine/traps.h"
#include "fault.h"
#include "soapH.h"
#include "switchinfo_convert.h"

namespace {

void Log(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

// The service thread's copy of the discovery list, kept between calls: a
// list of thousands of agents is MiBs, and a fresh copy for every call paid
// a new mapping and a page fault per page. Released when a new discovery
// empties the list, and shrunk when the list shrank.
std::vector<ferro::AgentRecord>& DiscoveredCopy() {
  static std::vector<ferro::AgentRecord> copy;
  return copy;
}

}  // namespace

// errorcode 0: started; 1: the configuration could not be loaded; 2: the
// discovery port is taken by another program. The call itself succeeds.
int ns__EngineLayerStartup(struct soap* soap, int, std::string, unsigned int& errorcode) {
  Log("EngineLayerStartup begin. \n");
  ferro::InstallEngineProtocol();
  const int started = ferro::StartEngine();
  // The engine runs even when its configuration could not be used, so the
  // device lists, the trap handler and the device-set time-outs run too:
  // otherwise a device-set operation started afterwards would never finish.
  const int lists = ferro::InitDeviceLists(ferro::TrapCallback);
  if (started == 0) {
    errorcode = ferro::IsPortInUse() ? 2 : 1;
    return SOAP_OK;
  }
  if (lists == 0) {
    return ferro::OperationFailed(
        soap, "the engine stopped while it was starting; call EngineLayerStartup again");
  }
  errorcode = 0;
  return SOAP_OK;
}

// The first `monitorNum` watched agents in table order, then the discovered
// agents whose MAC text is not listed yet, in discovery order.
int ns__GetSwitchInfoList(struct soap* soap, int monitorNum, ns__SwitchInfoList& result) {
  Log("GetSwitchInfoList begin. \n");
  result.nSwitchNum = 0;
  result.arrList.clear();
  std::vector<ferro::WatchedAgent> watched;
  if (!ferro::GetFirstWatchedAgents(monitorNum, watched)) {
    return ferro::OperationFailed(soap, ferro::TooFewWatchedReason(monitorNum, watched.size()));
  }
  std::vector<ferro::AgentRecord>& discovered = DiscoveredCopy();
  discovered.clear();
  ferro::CopyDiscoveryList(discovered);
  if (discovered.size() < discovered.capacity() / 4) {
    // The list shrank a lot: hand back the room of the large one.
    std::vector<ferro::AgentRecord>(discovered.begin(), discovered.end()).swap(discovered);
  }
  result.arrList.reserve(watched.size() + discovered.size());
  // MACs already listed, by their bytes (equal bytes give equal texts); the
  // watched ones may repeat among themselves.
  std::unordered_set<uint64_t> listed;
  listed.reserve(watched.size() + discovered.size());
  for (const ferro::WatchedAgent& node : watched) {
    listed.insert(ferro::MacKey(node.record.macAddr));
    ferro::AgentRecordToSwitchInfo(node.record, result.arrList.emplace_back());
  }
  for (const ferro::AgentRecord& record : discovered) {
    if (listed.insert(ferro::MacKey(record.macAddr)).second) {
      ferro::AgentRecordToSwitchInfo(record, result.arrList.emplace_back());
    }
  }
  result.nSwitchNum = static_cast<int>(result.arrList.size());
  result.nErrorCode = 0;
  Log("GetSwitchInfoList end:SOAP_OK \n");
  return SOAP_OK;
}

// Starts a discovery and returns at once; the replies fill the list that
// GetSwitchInfoList reads.
int ns__SetDiscoverToAgents(struct soap* soap, int, std::string, unsigned int& errorcode) {
  Log("SetDiscoverToAgents begin. \n");
  errorcode = 0;
  std::vector<ferro::AgentRecord>().swap(DiscoveredCopy());
  ferro::ClearDiscoveryList();
  if (ferro::DiscoverAgents(ferro::DiscoveryCallback, nullptr) == 0) {
    return ferro::OperationFailed(soap,
                                  ferro::IsEngineRunning()
                                      ? "no local IPv4 address could send the discovery request"
                                      : "the engine is not started; call EngineLayerStartup first");
  }
  return SOAP_OK;
}

int ns__SetUtilityGroupInterval(struct soap*, unsigned int groupInterval, unsigned int& errorcode) {
  ferro::SetIgmpInterval(groupInterval);
  errorcode = 0;
  return SOAP_OK;
}

int ns__GetUtilityGroupInterval(struct soap*, int, std::string,
                                ns__GetUtilityGroupIntervalResponse& result) {
  result.groupInterval = ferro::GetIgmpInterval();
  return SOAP_OK;
}

int ns__SetRefreshTime(struct soap*, unsigned int monitorPollingInterval, unsigned int& errorcode) {
  ferro::SetMonitorInterval(monitorPollingInterval);
  errorcode = 0;
  return SOAP_OK;
}

int ns__GetRefreshTime(struct soap*, int, std::string, ns__GetRefreshTimeResponse& result) {
  result.monitorPollingInterval = ferro::GetMonitorInterval();
  return SOAP_OK;
}

int ns__GetRefreshTimeEx(struct soap*, int, std::string, ns__GetRefreshTimeExResponse& result) {
  result.monitorPollingInterval = ferro::GetMonitorInterval();
  return SOAP_OK;
}
