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
#include "fault.h"
#include "front/front_state.h"
#include "service/request_members.h"
#include "soapH.h"
#include "switchinfo_convert.h"

namespace ferro {

void KeepAgentOnlyMembers(const ns__SwitchInfo& agent, ns__SwitchInfo& settings) {
  settings.productName = agent.productName;
  settings.fwVersion = agent.fwVersion;
  settings.productType = agent.productType;
  settings.httpPort = agent.httpPort;
  settings.lldpMode = agent.lldpMode;
  settings.lldpAuthenkey = agent.lldpAuthenkey;
  settings.agentProtoVer = agent.agentProtoVer;
  settings.agentFamilyType = agent.agentFamilyType;
  settings.agentInterfaceVer = agent.agentInterfaceVer;
  settings.upgradeDelayTime = agent.upgradeDelayTime;
  settings.upgradeRebootTime = agent.upgradeRebootTime;
  settings.upgradeEreaseFlashTime = agent.upgradeEreaseFlashTime;
  settings.funBitmap0 = agent.funBitmap0;
  settings.funBitmap1 = agent.funBitmap1;
  settings.funBitmap2 = agent.funBitmap2;
  settings.funBitmap3 = agent.funBitmap3;
  settings.errString = agent.errString;
  settings.isLoaderMode = agent.isLoaderMode;
}

namespace {

// Every member of SwitchInfo by its element name, with a copy of that one
// member from one value to another.
struct SwitchInfoMember {
  const char* name;
  void (*copy)(const ns__SwitchInfo& from, ns__SwitchInfo& to);
};

#define FERRO_MEMBER(m)                                                       \
  SwitchInfoMember {                                                          \
#m, [](const ns__SwitchInfo& from, ns__SwitchInfo& to) { to.m = from.m; } \
  }

constexpr SwitchInfoMember kSwitchInfoMembers[] = {
    FERRO_MEMBER(productName),
    FERRO_MEMBER(systemName),
    FERRO_MEMBER(location),
    FERRO_MEMBER(systemTime),
    FERRO_MEMBER(controllerIPURL),
    FERRO_MEMBER(controlledByAC),
    FERRO_MEMBER(loginUser),
    FERRO_MEMBER(agentIpAddr),
    FERRO_MEMBER(agentNetmask),
    FERRO_MEMBER(agentGateway),
    FERRO_MEMBER(agentDNS1),
    FERRO_MEMBER(agentDNS2),
    FERRO_MEMBER(trapIpAddr),
    FERRO_MEMBER(newPasseord),
    FERRO_MEMBER(oldPassword),
    FERRO_MEMBER(dhcpMode),
    FERRO_MEMBER(fwVersion),
    FERRO_MEMBER(productType),
    FERRO_MEMBER(httpPort),
    FERRO_MEMBER(groupTimer),
    FERRO_MEMBER(lldpMode),
    FERRO_MEMBER(lldpAuthenkey),
    FERRO_MEMBER(snmpMode),
    FERRO_MEMBER(agentProtoVer),
    FERRO_MEMBER(agentFamilyType),
    FERRO_MEMBER(agentInterfaceVer),
    FERRO_MEMBER(upgradeDelayTime),
    FERRO_MEMBER(upgradeRebootTime),
    FERRO_MEMBER(upgradeEreaseFlashTime),
    FERRO_MEMBER(vlanID),
    FERRO_MEMBER(funBitmap0),
    FERRO_MEMBER(funBitmap1),
    FERRO_MEMBER(funBitmap2),
    FERRO_MEMBER(funBitmap3),
    FERRO_MEMBER(errString),
    FERRO_MEMBER(macAddr),
    FERRO_MEMBER(isLoaderMode),
    FERRO_MEMBER(wifiEnable),
    FERRO_MEMBER(wifiSSID),
    FERRO_MEMBER(wifiKey),
    FERRO_MEMBER(wifiBand),
    FERRO_MEMBER(wifiChannel),
    FERRO_MEMBER(wifiCurrentChannel),
    FERRO_MEMBER(wifiSecurity),
    FERRO_MEMBER(radiusIP),
    FERRO_MEMBER(radiusPort),
    FERRO_MEMBER(radiusSecret),
    FERRO_MEMBER(wifi80211Mode),
    FERRO_MEMBER(wifiVisible),
    FERRO_MEMBER(wifiSupportChannel),
    FERRO_MEMBER(wifiChannelWidth),
    FERRO_MEMBER(wifiSSIDIsolution),
    FERRO_MEMBER(wifiVlanID),
    FERRO_MEMBER(bandwidthControl),
    FERRO_MEMBER(rssiScanner),
    FERRO_MEMBER(txPowerLevel),
    FERRO_MEMBER(wifiEnable5G),
    FERRO_MEMBER(wifiSSID5G),
    FERRO_MEMBER(wifiKey5G),
    FERRO_MEMBER(wifiChannel5G),
    FERRO_MEMBER(wifiCurrentChannel5G),
    FERRO_MEMBER(wifiSecurity5G),
    FERRO_MEMBER(radiusIP5G),
    FERRO_MEMBER(radiusPort5G),
    FERRO_MEMBER(radiusSecret5G),
    FERRO_MEMBER(wifi80211Mode5G),
    FERRO_MEMBER(wifiVisible5G),
    FERRO_MEMBER(wifiSupportChannel5G),
    FERRO_MEMBER(wifiChannelWidth5G),
    FERRO_MEMBER(wifiSSIDIsolution5G),
    FERRO_MEMBER(wifiVlanID5G),
    FERRO_MEMBER(bandwidthControl5G),
    FERRO_MEMBER(rssiScanner5G),
    FERRO_MEMBER(txPowerLevel5G),
    FERRO_MEMBER(fwDomain),
    FERRO_MEMBER(wifiBandSteering),
    FERRO_MEMBER(wifiRoaming),
};

#undef FERRO_MEMBER

static_assert(std::size(kSwitchInfoMembers) == kSwitchInfoMemberCount);

// Why StartDeviceSet refused or sent nothing, as one line for the fault.
std::string StartFailedReason(unsigned int operate) {
  if (OperateNodeCount() >= kMaxOperateNodes) {
    return std::to_string(kMaxOperateNodes) +
           " device-set operations are held already; collect finished ones with "
           "GetOperateResult";
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

// Sends the command of `operate` for the known agent with MAC text `macAddr`,
// its settings overlaid with the parameters.
int ns__SetDeviceCfgEx(
    struct soap* soap, std::wstring systemName, std::wstring location, std::string systemTime,
    std::string controllerIPURL, unsigned short controlledByAC, std::string loginUser,
    std::string agentIpAddr, std::string agentNetmask, std::string agentGateway,
    std::string agentDNS1, std::string agentDNS2, std::string trapIpAddr, std::string newPasseord,
    std::string oldPassword, unsigned short dhcpMode, unsigned int groupTimer,
    unsigned short snmpMode, std::string macAddr, unsigned short vlanID, unsigned short wifiEnable,
    std::string wifiSSID, std::string wifiKey, std::string wifiBand, unsigned short wifiChannel,
    unsigned short wifiCurrentChannel, std::string wifiSecurity, std::string radiusIP,
    unsigned int radiusPort, std::string radiusSecret, std::string wifi80211Mode,
    unsigned short wifiVisible, std::string wifiSupportChannel, std::string wifiChannelWidth,
    unsigned short wifiSSIDIsolution, unsigned short wifiVlanID, std::string bandwidthControl,
    std::string rssiScanner, unsigned int txPowerLevel, unsigned short wifiEnable5G,
    std::string wifiSSID5G, std::string wifiKey5G, unsigned short wifiChannel5G,
    unsigned short wifiCurrentChannel5G, std::string wifiSecurity5G, std::string radiusIP5G,
    unsigned int radiusPort5G, std::string radiusSecret5G, std::string wifi80211Mode5G,
    unsigned short wifiVisible5G, std::string wifiSupportChannel5G, std::string wifiChannelWidth5G,
    unsigned short wifiSSIDIsolution5G, unsigned short wifiVlanID5G, std::string bandwidthControl5G,
    std::string rssiScanner5G, unsigned int txPowerLevel5G, unsigned int operate,
    std::string fwDomain, unsigned short wifiBandSteering, unsigned short wifiRoaming,
    unsigned int& errorcode) {
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
  s.systemName = std::move(systemName);
  s.location = std::move(location);
  s.systemTime = std::move(systemTime);
  s.controllerIPURL = std::move(controllerIPURL);
  s.controlledByAC = controlledByAC;
  s.loginUser = std::move(loginUser);
  s.agentIpAddr = std::move(agentIpAddr);
  s.agentNetmask = std::move(agentNetmask);
  s.agentGateway = std::move(agentGateway);
  s.agentDNS1 = std::move(agentDNS1);
  s.agentDNS2 = std::move(agentDNS2);
  s.trapIpAddr = std::move(trapIpAddr);
  s.newPasseord = std::move(newPasseord);
  s.oldPassword = std::move(oldPassword);
  s.dhcpMode = dhcpMode;
  s.groupTimer = groupTimer;
  s.snmpMode = snmpMode;
  s.macAddr = std::move(macAddr);
  s.vlanID = vlanID;
  s.wifiEnable = wifiEnable;
  s.wifiSSID = std::move(wifiSSID);
  s.wifiKey = std::move(wifiKey);
  s.wifiBand = std::move(wifiBand);
  s.wifiChannel = wifiChannel;
  s.wifiCurrentChannel = wifiCurrentChannel;
  s.wifiSecurity = std::move(wifiSecurity);
  s.radiusIP = std::move(radiusIP);
  s.radiusPort = radiusPort;
  s.radiusSecret = std::move(radiusSecret);
  s.wifi80211Mode = std::move(wifi80211Mode);
  s.wifiVisible = wifiVisible;
  s.wifiSupportChannel = std::move(wifiSupportChannel);
  s.wifiChannelWidth = std::move(wifiChannelWidth);
  s.wifiSSIDIsolution = wifiSSIDIsolution;
  s.wifiVlanID = wifiVlanID;
  s.bandwidthControl = std::move(bandwidthControl);
  s.rssiScanner = std::move(rssiScanner);
  s.txPowerLevel = txPowerLevel;
  s.wifiEnable5G = wifiEnable5G;
  s.wifiSSID5G = std::move(wifiSSID5G);
  s.wifiKey5G = std::move(wifiKey5G);
  s.wifiChannel5G = wifiChannel5G;
  s.wifiCurrentChannel5G = wifiCurrentChannel5G;
  s.wifiSecurity5G = std::move(wifiSecurity5G);
  s.radiusIP5G = std::move(radiusIP5G);
  s.radiusPort5G = radiusPort5G;
  s.radiusSecret5G = std::move(radiusSecret5G);
  s.wifi80211Mode5G = std::move(wifi80211Mode5G);
  s.wifiVisible5G = wifiVisible5G;
  s.wifiSupportChannel5G = std::move(wifiSupportChannel5G);
  s.wifiChannelWidth5G = std::move(wifiChannelWidth5G);
  s.wifiSSIDIsolution5G = wifiSSIDIsolution5G;
  s.wifiVlanID5G = wifiVlanID5G;
  s.bandwidthControl5G = std::move(bandwidthControl5G);
  s.rssiScanner5G = std::move(rssiScanner5G);
  s.txPowerLevel5G = txPowerLevel5G;
  s.fwDomain = std::move(fwDomain);
  s.wifiBandSteering = wifiBandSteering;
  s.wifiRoaming = wifiRoaming;
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
