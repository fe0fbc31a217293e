// Operations that choose the watched agents, report their keep-alive state
// and hand out the traps agents sent.

#include <array>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "engine/discovery.h"
#include "engine/engine_state.h"
#include "engine/monitoring.h"
#include "engine/traps.h"
#include "fault.h"
#include "soapH.h"
#include "switchinfo_convert.h"
#include "unattended.h"

// Moves an agent from the discovery list to the watched agents. An address
// nobody discovered is watched with an empty record until its agent answers.
// The address must be written out in full and be one an agent can have.
int ns__AddMonitorAgent(struct soap* soap, std::string strIpAddress, std::string strMacAddr,
                        unsigned int& errorcode) {
  std::printf("AddMonitorAgent begin, ip =%s \n", strIpAddress.c_str());
  std::fflush(stdout);
  uint8_t mac[ferro::kMacSize] = {};
  const bool mac_ok = ferro::ParseMacText(strMacAddr, mac) == 0;
  const std::optional<std::array<uint8_t, 4>> parsed = ferro::ParseIpTextExact(strIpAddress);
  if (!parsed) {
    return ferro::OperationFailed(soap, "\"" + strIpAddress +
                                            "\" is not an IPv4 address (four numbers of 0 to "
                                            "255 joined by \".\")");
  }
  const std::array<uint8_t, 4> address = *parsed;
  // Polls go to this address: it must be one a single agent can have.
  if (address[0] == 0 || address[0] >= 224) {
    return ferro::OperationFailed(soap, ferro::FormatIpText(address.data()) +
                                            " is not an agent's address (this-network, "
                                            "multicast, broadcast or reserved)");
  }

  ferro::AgentRecord record{};
  std::memcpy(record.agentIpAddr, address.data(), address.size());
  std::vector<ferro::AgentRecord> discovered;
  ferro::CopyDiscoveryList(discovered);
  for (const ferro::AgentRecord& candidate : discovered) {
    if (mac_ok && std::memcmp(candidate.agentIpAddr, address.data(), address.size()) == 0 &&
        std::memcmp(candidate.macAddr, mac, sizeof mac) == 0) {
      record = candidate;  // the last match wins
    }
  }
  if (ferro::AddWatchedAgent(record) == 0) {
    return ferro::OperationFailed(
        soap, "address " + ferro::FormatIpText(address.data()) + " is already watched");
  }
  ferro::SaveKeptWatchedList();
  ferro::RemoveFromDiscoveryList(record);
  errorcode = 0;
  return SOAP_OK;
}

// Stops watching an address; its record, as last known, goes back to the
// discovery list. An address that is not watched changes nothing.
int ns__DelMonitorAgent(struct soap*, std::string strIpAddress, unsigned int& errorcode) {
  std::printf("DelMonitorAgent begin, ip =%s \n", strIpAddress.c_str());
  std::fflush(stdout);
  const std::array<uint8_t, 4> address = ferro::ParseIpText(strIpAddress);
  ferro::WatchedAgent node;
  for (size_t i = 0; ferro::GetWatchedAgent(i, node) != 0; ++i) {
    if (std::memcmp(node.record.agentIpAddr, address.data(), address.size()) == 0) {
      ferro::AddToDiscoveryList(node.record);
      break;
    }
  }
  ferro::RemoveWatchedAgent(address.data());
  ferro::SaveKeptWatchedList();
  errorcode = 0;
  return SOAP_OK;
}

int ns__GetMonitorStatus(struct soap* soap, int monitorNum, ns__MonitorList& result) {
  result.nMonitorNum = 0;
  result.arrList.clear();
  std::vector<ferro::WatchedAgent> watched;
  if (!ferro::GetFirstWatchedAgents(monitorNum, watched)) {
    return ferro::OperationFailed(soap, ferro::TooFewWatchedReason(monitorNum, watched.size()));
  }
  for (const ferro::WatchedAgent& node : watched) {
    ns__MonitorInfo& info = result.arrList.emplace_back();
    ferro::AgentRecordToSwitchInfo(node.record, info.monitorInfo);
    info.isAlive = node.isAlive;
    info.recvFlag = node.recvFlag;
    char time[20];
    ferro::FormatLocalTime(time, sizeof time);
    info.time = time;
    ++result.nMonitorNum;
  }
  result.nErrorCode = 0;
  return SOAP_OK;
}

// Registers the trap handler again (the engine start registers it too).
int ns__SetTrapHwnd(struct soap*, int, std::string, unsigned int& errorcode) {
  std::printf("SetTrapHwnd begin. \n");
  std::fflush(stdout);
  ferro::SetTrapCallback(ferro::TrapCallback, nullptr);
  errorcode = 0;
  return SOAP_OK;
}

// Every trap received since the last call, oldest first; each is returned once.
int ns__GetTrapList(struct soap*, int, std::string, ns__TrapList& result) {
  std::printf("GetTrapList begin. \n");
  std::fflush(stdout);
  std::vector<ferro::TrapRecord> traps;
  ferro::TakeAllTraps(traps);
  result.arrList.clear();
  for (const ferro::TrapRecord& trap : traps) {
    ns__TrapInfo& info = result.arrList.emplace_back();
    info.time = trap.time;
    info.ip = trap.ip;
    info.string = trap.string;
    info.location = trap.location;
  }
  result.nTrapNum = static_cast<int>(result.arrList.size());
  result.nErrorCode = 0;
  return SOAP_OK;
}
