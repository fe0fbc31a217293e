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
#include "exchange/request_exchange.h"
#include "fault.h"
#include "soapH.h"
#include "switchinfo_convert.h"
#include "unattended.h"

namespace {

void Log(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

// The discovered agents as the answer lists them, converted once per change
// of the discovery list and kept between calls on the service thread: a UI
// polls the list, and a list of thousands of agents is MiBs to copy and
// convert on every call. Released when a new discovery empties the list.
struct ConvertedDiscoveryList {
  uint64_t version = ~uint64_t{0};  // of the discovery list it was made from
  // The first entry of each MAC, in list order, with its key.
  std::vector<ns__SwitchInfo> entries;
  std::vector<uint64_t> keys;
  bool well_formed = true;  // every text of every entry

  void Refresh() {
    std::vector<ferro::AgentRecord> records;  // held only while converting
    if (!ferro::CopyDiscoveryListIfChanged(records, version)) return;
    // Built afresh, so that a list that shrank hands back its room.
    std::vector<ns__SwitchInfo>().swap(entries);
    std::vector<uint64_t>().swap(keys);
    entries.reserve(records.size());
    keys.reserve(records.size());
    well_formed = true;
    // Equal MAC bytes give equal texts: duplicates are found before converting.
    std::unordered_set<uint64_t> seen;
    seen.reserve(records.size());
    for (const ferro::AgentRecord& record : records) {
      const uint64_t key = ferro::MacKey(record.macAddr);
      if (!seen.insert(key).second) continue;
      keys.push_back(key);
      well_formed &= ferro::AgentRecordToSwitchInfo(record, entries.emplace_back());
    }
  }

  void Release() { *this = ConvertedDiscoveryList(); }
};

ConvertedDiscoveryList& Discovered() {
  static ConvertedDiscoveryList list;
  return list;
}

// How long the start waits for the engine's sockets (a pass takes
// milliseconds; only a machine under load makes it wait at all).
constexpr uint32_t kFirstAdapterPassWaitMs = 5000;

}  // namespace

// errorcode 0: started; 1: the configuration could not be loaded; 2: the
// discovery port is taken by another program. The call itself succeeds.
int ns__EngineLayerStartup(struct soap* soap, int, std::string, unsigned int& errorcode) {
  Log("EngineLayerStartup begin. \n");
  // The engine's protocol work and trap handler were registered at process
  // start; here its threads start.
  const int started = ferro::StartEngine();
  // The engine runs even when its configuration could not be used, so the
  // device lists, the trap handler and the device-set time-outs run too:
  // otherwise a device-set operation started afterwards would never finish.
  const int lists = ferro::InitDeviceLists();
  // The sockets are opened by the engine's first adapter pass; a discovery
  // asked for right after the start must find them open.
  if (lists != 0) ferro::WaitForFirstAdapterPass(kFirstAdapterPassWaitMs);
  // The watched list kept from the last run, if it is kept (once a process).
  if (lists != 0) ferro::LoadKeptWatchedList();
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

namespace ferro {

void StartEngineAtLaunch() {
  // A context of its own: the answer goes nowhere, only the log and the
  // events tell how the start went, as they do for a client's call.
  struct soap* soap = soap_new();
  if (soap == nullptr) {
    Log("Engine start at launch: no memory for it. \n");
    return;
  }
  unsigned int errorcode = 0;
  const int result = ns__EngineLayerStartup(soap, 0, std::string(), errorcode);
  if (result != SOAP_OK) {
    Log("Engine start at launch: the engine stopped while it was starting. \n");
  } else if (errorcode != 0) {
    std::printf(
        "Engine start at launch: errorcode %u (%s). \n", errorcode,
        errorcode == 2 ? "the discovery port is taken" : "the configuration could not be loaded");
    std::fflush(stdout);
  }
  soap_destroy(soap);
  soap_end(soap);
  soap_free(soap);
}

}  // namespace ferro

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
  ConvertedDiscoveryList& discovered = Discovered();
  discovered.Refresh();
  result.arrList.reserve(watched.size() + discovered.entries.size());
  // The watched agents' MACs, by their bytes (equal bytes give equal texts):
  // a discovered agent that is also watched is listed once, as watched.
  std::unordered_set<uint64_t> watched_keys;
  watched_keys.reserve(watched.size());
  bool well_formed = discovered.well_formed;
  for (const ferro::WatchedAgent& node : watched) {
    watched_keys.insert(ferro::MacKey(node.record.macAddr));
    well_formed &= ferro::AgentRecordToSwitchInfo(node.record, result.arrList.emplace_back());
  }
  for (size_t i = 0; i < discovered.entries.size(); ++i) {
    if (watched_keys.empty() || !watched_keys.contains(discovered.keys[i])) {
      result.arrList.push_back(discovered.entries[i]);
    }
  }
  result.nSwitchNum = static_cast<int>(result.arrList.size());
  result.nErrorCode = 0;
  // Lists of thousands of agents make answers of tens of MiB: one whose
  // every text is fine as it stands goes out as it is written.
  if (well_formed) ferro::AnswerIsWellFormed(soap);
  Log("GetSwitchInfoList end:SOAP_OK \n");
  return SOAP_OK;
}

// Starts a discovery and returns at once; the replies fill the list that
// GetSwitchInfoList reads.
int ns__SetDiscoverToAgents(struct soap* soap, int, std::string, unsigned int& errorcode) {
  Log("SetDiscoverToAgents begin. \n");
  errorcode = 0;
  Discovered().Release();
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
