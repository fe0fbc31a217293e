// Operations that change agents' settings and collect the outcomes. A
// command is sent and the operation returns at once; the agent's reply (or
// the 50-second time-out) finishes it in the engine, which sends the notice
// "device_set"; GetOperateResult then hands the outcome out once.

#include "service/device_set_operations.h"

#include <cstdio>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "engine/device_set.h"
#include "engine/discovery.h"
#include "engine/monitoring.h"
#include "exchange/request_exchange.h"
#include "fault.h"
#include "protocol/agent_fields.h"
#include "service/request_members.h"
#include "soapH.h"
#include "switchinfo_convert.h"

namespace ferro {

void KeepAgentOnlyMembers(const ns__SwitchInfo& agent, ns__SwitchInfo& settings) {
#define FERRO_KEEP_AGENT_ONLY(name, shape, tlv, read, write, word, bit, order, role) \
  if constexpr (FieldRole::k##role == FieldRole::kAgentOnly) settings.name = agent.name;
  FERRO_SWITCHINFO_FIELDS(FERRO_KEEP_AGENT_ONLY)
#undef FERRO_KEEP_AGENT_ONLY
}

namespace {

// Every member of SwitchInfo by its element name, with a copy of that one
// member from one value to another.
struct SwitchInfoMember {
  const char* name;
  void (*copy)(const ns__SwitchInfo& from, ns__SwitchInfo& to);
};

#define FERRO_MEMBER(m, ...) \
  SwitchInfoMember{#m, [](const ns__SwitchInfo& from, ns__SwitchInfo& to) { to.m = from.m; }},

// In contract order, from the field table.
constexpr SwitchInfoMember kSwitchInfoMembers[] = {FERRO_SWITCHINFO_FIELDS(FERRO_MEMBER)};

#undef FERRO_MEMBER

static_assert(std::size(kSwitchInfoMembers) == kSwitchInfoMemberCount);
static_assert(kSwitchInfoFieldCount == kSwitchInfoMemberCount);

// Why StartDeviceSet refused or sent nothing, as one line for the fault.
std::string StartFailedReason(unsigned int operate) {
  if (OperateNodeCount() >= kMaxOperateNodes) {
    return std::to_string(kMaxOperateNodes) +
           " device-set operations are waiting for their outcome already; try again when "
           "some have ended";
  }
  if (operate > static_cast<unsigned int>(kOperateRestoreDefault)) {
    return "operate " + std::to_string(operate) +
           " has no command (0 settings, 1 password, 2 settings without address, 3 factory "
           "defaults); it is recorded and ends as timed out";
  }
  return "the request could not be sent: no local address to send from; the operation ends as "
         "timed out";
}

// The agent whose MAC text equals `macText` byte for byte (so only the
// upper-case form the server itself writes can match): the discovered
// agents first, then the watched ones. `unicast` says how to reach it: by
// MAC on every adapter for a discovered agent, at its own address for one
// that is only watched.
bool FindAgent(const std::string& macText, AgentRecord& found, int32_t& unicast) {
  std::vector<AgentRecord> discovered;
  CopyDiscoveryList(discovered);
  for (const AgentRecord& record : discovered) {
    if (FormatMacText(record.macAddr) == macText) {
      found = record;
      unicast = 0;
      return true;
    }
  }
  WatchedAgent node;
  for (size_t i = 0; GetWatchedAgent(i, node) != 0; ++i) {
    if (FormatMacText(node.record.macAddr) == macText) {
      found = node.record;
      unicast = 1;
      return true;
    }
  }
  return false;
}

// The reason SetDeviceCfg gives when members are left out and there is no
// known agent to take them from.
std::string MissingMembersReason(const std::vector<std::string_view>& missing,
                                 const std::string& mac) {
  std::string names;
  constexpr size_t kNamed = 8;
  for (size_t i = 0; i < missing.size() && i < kNamed; ++i) {
    names += (i == 0 ? "" : ", ");
    names += missing[i];
  }
  if (missing.size() > kNamed) names += " and " + std::to_string(missing.size() - kNamed) + " more";
  return "switchInfo leaves out " + names + ", and no discovered or watched agent has MAC \"" +
         mac + "\" to take them from";
}

}  // namespace

void KeepMembersNotGiven(const ns__SwitchInfo& agent, const GivenMembers& given,
                         ns__SwitchInfo& settings) {
  for (const SwitchInfoMember& member : kSwitchInfoMembers) {
    if (!given.Has(member.name)) member.copy(agent, settings);
  }
}

std::vector<std::string_view> MembersNotGiven(const GivenMembers& given) {
  std::vector<std::string_view> missing;
  for (const SwitchInfoMember& member : kSwitchInfoMembers) {
    if (!given.Has(member.name)) missing.emplace_back(member.name);
  }
  return missing;
}

}  // namespace ferro

// Sends the command of `operate` for the agent the client describes. Members
// the client leaves out of switchInfo are taken from the discovered or
// watched agent with its MAC, so that a partial record never tells the agent
// to clear what the client did not mention.
int ns__SetDeviceCfg(struct soap* soap, ns__SwitchInfo switchInfo, unsigned int operate,
                     unsigned int& errorcode) {
  const ferro::GivenMembers given =
      ferro::FindGivenMembers(ferro::CurrentRequestBody(soap), "switchInfo");
  const std::vector<std::string_view> missing = ferro::MembersNotGiven(given);
  if (!missing.empty()) {
    uint8_t mac[ferro::kMacSize];
    ferro::AgentRecord found;
    int32_t unicast = 0;
    if (!given.Has("macAddr") || ferro::ParseMacText(switchInfo.macAddr, mac) != 0 ||
        !ferro::FindAgent(ferro::FormatMacText(mac), found, unicast)) {
      return ferro::OperationFailed(soap, ferro::MissingMembersReason(missing, switchInfo.macAddr));
    }
    ns__SwitchInfo known;
    ferro::AgentRecordToSwitchInfo(found, known);
    ferro::KeepMembersNotGiven(known, given, switchInfo);
  }
  ferro::AgentRecord record;
  ferro::SwitchInfoToAgentRecord(switchInfo, record);
  if (ferro::StartDeviceSet(record, static_cast<int32_t>(operate), 0) == 0) {
    return ferro::OperationFailed(soap, ferro::StartFailedReason(operate));
  }
  errorcode = 0;
  return SOAP_OK;
}

namespace ferro {
namespace {

// SetDeviceCfgEx's parameters in the contract's order: the settable
// SwitchInfo members (each of the member's own type), with operate among
// them. The generated dispatcher calls the operation with exactly the
// contract's parameters, so a list that drifts from it fails to link.
// clang-format off
#define FERRO_SET_DEVICE_CFG_EX_PARAMS(MEMBER, OPERATE) \
  MEMBER(systemName) MEMBER(location) MEMBER(systemTime) MEMBER(controllerIPURL) \
  MEMBER(controlledByAC) MEMBER(loginUser) MEMBER(agentIpAddr) MEMBER(agentNetmask) \
  MEMBER(agentGateway) MEMBER(agentDNS1) MEMBER(agentDNS2) MEMBER(trapIpAddr) \
  MEMBER(newPasseord) MEMBER(oldPassword) MEMBER(dhcpMode) MEMBER(groupTimer) MEMBER(snmpMode) \
  MEMBER(macAddr) MEMBER(vlanID) MEMBER(wifiEnable) MEMBER(wifiSSID) MEMBER(wifiKey) \
  MEMBER(wifiBand) MEMBER(wifiChannel) MEMBER(wifiCurrentChannel) MEMBER(wifiSecurity) \
  MEMBER(radiusIP) MEMBER(radiusPort) MEMBER(radiusSecret) MEMBER(wifi80211Mode) \
  MEMBER(wifiVisible) MEMBER(wifiSupportChannel) MEMBER(wifiChannelWidth) \
  MEMBER(wifiSSIDIsolution) MEMBER(wifiVlanID) MEMBER(bandwidthControl) MEMBER(rssiScanner) \
  MEMBER(txPowerLevel) MEMBER(wifiEnable5G) MEMBER(wifiSSID5G) MEMBER(wifiKey5G) \
  MEMBER(wifiChannel5G) MEMBER(wifiCurrentChannel5G) MEMBER(wifiSecurity5G) MEMBER(radiusIP5G) \
  MEMBER(radiusPort5G) MEMBER(radiusSecret5G) MEMBER(wifi80211Mode5G) MEMBER(wifiVisible5G) \
  MEMBER(wifiSupportChannel5G) MEMBER(wifiChannelWidth5G) MEMBER(wifiSSIDIsolution5G) \
  MEMBER(wifiVlanID5G) MEMBER(bandwidthControl5G) MEMBER(rssiScanner5G) MEMBER(txPowerLevel5G) \
  OPERATE MEMBER(fwDomain) MEMBER(wifiBandSteering) MEMBER(wifiRoaming)
// clang-format on

// The parameter list names every settable member of the field table once,
// and no member the agent only reports.
constexpr const char* kSetDeviceCfgExMembers[] = {
#define FERRO_PARAM_NAME(m) #m,
    FERRO_SET_DEVICE_CFG_EX_PARAMS(FERRO_PARAM_NAME, )
#undef FERRO_PARAM_NAME
};

constexpr bool SameName(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}

constexpr bool ParametersAreTheSettableMembers() {
  size_t settable = 0;
  for (const AgentField& f : kAgentFields) {
    size_t named = 0;
    for (const char* p : kSetDeviceCfgExMembers) named += SameName(p, f.name) ? 1 : 0;
    if (named != (f.role == FieldRole::kSettable ? 1u : 0u)) return false;
    settable += f.role == FieldRole::kSettable ? 1 : 0;
  }
  return settable == std::size(kSetDeviceCfgExMembers);
}
static_assert(ParametersAreTheSettableMembers());

}  // namespace
}  // namespace ferro

#define FERRO_PARAM(m) decltype(ns__SwitchInfo::m) m,
#define FERRO_OPERATE_PARAM unsigned int operate,
// Sends the command of `operate` for the known agent with MAC text `macAddr`,
// its settings overlaid with the parameters.
int ns__SetDeviceCfgEx(
    struct soap* soap,
    FERRO_SET_DEVICE_CFG_EX_PARAMS(FERRO_PARAM, FERRO_OPERATE_PARAM) unsigned int& errorcode) {
#undef FERRO_PARAM
#undef FERRO_OPERATE_PARAM
  std::fputs("device set begine \n", stdout);
  std::fflush(stdout);
  ferro::AgentRecord found;
  int32_t unicast = 0;
  if (!ferro::FindAgent(macAddr, found, unicast)) {
    return ferro::OperationFailed(soap, "no discovered or watched agent has MAC text \"" + macAddr +
                                            "\" (six upper-case hex pairs joined by \"-\")");
  }

  ns__SwitchInfo agent;
  ferro::AgentRecordToSwitchInfo(found, agent);
  ns__SwitchInfo s;
#define FERRO_TAKE(m) s.m = std::move(m);
  FERRO_SET_DEVICE_CFG_EX_PARAMS(FERRO_TAKE, )
#undef FERRO_TAKE
  // A parameter left out of the request keeps the agent's value; one sent
  // empty is sent empty.
  ferro::KeepMembersNotGiven(agent, ferro::FindGivenMembers(ferro::CurrentRequestBody(soap)), s);
  // Names are encoded as the agent keeps them: its own function word decides.
  ferro::KeepAgentOnlyMembers(agent, s);

  ferro::AgentRecord record;
  ferro::SwitchInfoToAgentRecord(s, record);
  // A watched agent is reached at the address it has now, even when the
  // command gives it a new one.
  if (ferro::StartDeviceSet(record, static_cast<int32_t>(operate), unicast, found.agentIpAddr) ==
      0) {
    return ferro::OperationFailed(soap, ferro::StartFailedReason(operate));
  }
  errorcode = 0;
  return SOAP_OK;
}

// Every finished operation, in start order; each is handed out once.
int ns__GetOperateResult(struct soap*, int, std::string, ns__OperateList& result) {
  std::vector<ferro::OperateNode> finished;
  ferro::GetOperateResult(finished);
  result.arrList.clear();
  result.arrList.reserve(finished.size());
  for (const ferro::OperateNode& node : finished) {
    ns__OperateInfo& info = result.arrList.emplace_back();
    ferro::AgentRecordToSwitchInfo(node.agent, info.agentInfo);
    info.operate = node.operate;
    info.result = node.result;
  }
  result.nOperateNum = static_cast<int>(result.arrList.size());
  return SOAP_OK;
}
