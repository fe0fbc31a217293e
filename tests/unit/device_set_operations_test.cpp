// Which members of an agent SetDeviceCfgEx keeps and which the caller's
// settings replace.

#include "service/device_set_operations.h"

#include <gtest/gtest.h>

namespace ferro {
namespace {

ns__SwitchInfo Filled(const std::string& tag, unsigned int n) {
  ns__SwitchInfo s;
  s.productName = tag + "-product";
  s.fwVersion = tag + "-fw";
  s.productType = static_cast<unsigned short>(n + 1);
  s.httpPort = static_cast<unsigned short>(n + 2);
  s.lldpMode = static_cast<unsigned short>(n + 3);
  s.lldpAuthenkey = tag + "-lldp";
  s.agentProtoVer = static_cast<unsigned short>(n + 4);
  s.agentFamilyType = static_cast<unsigned short>(n + 5);
  s.agentInterfaceVer = static_cast<unsigned short>(n + 6);
  s.upgradeDelayTime = n + 7;
  s.upgradeRebootTime = n + 8;
  s.upgradeEreaseFlashTime = n + 9;
  s.funBitmap0 = n + 10;
  s.funBitmap1 = n + 11;
  s.funBitmap2 = n + 12;
  s.funBitmap3 = n + 13;
  s.errString = tag + "-err";
  s.isLoaderMode = static_cast<int>(n + 14);
  // A few of the members that do have a parameter.
  s.systemName = L"name";
  s.systemName += static_cast<wchar_t>(L'0' + n % 10);
  s.agentIpAddr = tag + "-ip";
  s.dhcpMode = static_cast<unsigned short>(n + 15);
  s.groupTimer = n + 16;
  s.wifiSSID = tag + "-ssid";
  s.txPowerLevel5G = n + 17;
  s.macAddr = tag + "-mac";
  s.wifiRoaming = static_cast<unsigned short>(n + 18);
  return s;
}

TEST(DeviceSetOperations, AgentOnlyMembersKeepTheAgentsValuesAndTheRestAreTheCallers) {
  const ns__SwitchInfo agent = Filled("agent", 100);
  ns__SwitchInfo s = Filled("caller", 200);
  KeepAgentOnlyMembers(agent, s);
  // Kept from the agent: the 18 members without a parameter.
  EXPECT_EQ(s.productName, agent.productName);
  EXPECT_EQ(s.fwVersion, agent.fwVersion);
  EXPECT_EQ(s.productType, agent.productType);
  EXPECT_EQ(s.httpPort, agent.httpPort);
  EXPECT_EQ(s.lldpMode, agent.lldpMode);
  EXPECT_EQ(s.lldpAuthenkey, agent.lldpAuthenkey);
  EXPECT_EQ(s.agentProtoVer, agent.agentProtoVer);
  EXPECT_EQ(s.agentFamilyType, agent.agentFamilyType);
  EXPECT_EQ(s.agentInterfaceVer, agent.agentInterfaceVer);
  EXPECT_EQ(s.upgradeDelayTime, agent.upgradeDelayTime);
  EXPECT_EQ(s.upgradeRebootTime, agent.upgradeRebootTime);
  EXPECT_EQ(s.upgradeEreaseFlashTime, agent.upgradeEreaseFlashTime);
  EXPECT_EQ(s.funBitmap0, agent.funBitmap0);
  EXPECT_EQ(s.funBitmap1, agent.funBitmap1);
  EXPECT_EQ(s.funBitmap2, agent.funBitmap2);
  EXPECT_EQ(s.funBitmap3, agent.funBitmap3);
  EXPECT_EQ(s.errString, agent.errString);
  EXPECT_EQ(s.isLoaderMode, agent.isLoaderMode);
  // The caller's settings stay.
  const ns__SwitchInfo caller = Filled("caller", 200);
  EXPECT_EQ(s.systemName, caller.systemName);
  EXPECT_EQ(s.agentIpAddr, caller.agentIpAddr);
  EXPECT_EQ(s.dhcpMode, caller.dhcpMode);
  EXPECT_EQ(s.groupTimer, caller.groupTimer);
  EXPECT_EQ(s.wifiSSID, caller.wifiSSID);
  EXPECT_EQ(s.txPowerLevel5G, caller.txPowerLevel5G);
  EXPECT_EQ(s.macAddr, caller.macAddr);
  EXPECT_EQ(s.wifiRoaming, caller.wifiRoaming);
}

// A request as third-party clients write them: prefixes or none, a header,
// comments, CDATA and attributes holding markup characters, an empty
// element (given, empty) and a nil one (not given).
constexpr const char* kPartialRequest =
    "<?xml version=\"1.0\"?><!-- <systemName> -->"
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:i=\"http://www.w3.org/2001/XMLSchema-instance\">"
    "<s:Header><location>not a member</location></s:Header>"
    "<s:Body><ns:SetDeviceCfg xmlns:ns=\"urn:Halvex\"><switchInfo note=\"a > b\">"
    "<macAddr>02-00-00-00-00-01</macAddr><ns:systemName><![CDATA[<location/>]]>"
    "</ns:systemName><wifiSSID/><location i:nil=\"true\"/><vlanID i:nil=\"false\">3</vlanID>"
    "</switchInfo><operate>0</operate></ns:SetDeviceCfg><after/></s:Body></s:Envelope>";

TEST(DeviceSetOperations, GivenMembersAreTheElementsTheRequestSpellsOut) {
  using Names = std::vector<std::string>;
  const GivenMembers inner = FindGivenMembers(kPartialRequest, "switchInfo");
  EXPECT_TRUE(inner.known);
  EXPECT_EQ(inner.names, (Names{"macAddr", "systemName", "wifiSSID", "vlanID"}));
  EXPECT_FALSE(inner.Has("location"));
  const GivenMembers outer = FindGivenMembers(kPartialRequest);
  EXPECT_EQ(outer.names, (Names{"switchInfo", "operate"}));
  // No such child: known, and nothing given.
  const GivenMembers none = FindGivenMembers(kPartialRequest, "vecSwitchInfo");
  EXPECT_TRUE(none.known);
  EXPECT_TRUE(none.names.empty());
  // No operation to be found (not a request the runtime would serve): every
  // member counts as given, as the runtime's values say.
  for (const char* odd : {"", "<Envelope><Body>", "<a><b></b></a>", "<Envelope><Body><op a=\"x"}) {
    const GivenMembers unknown = FindGivenMembers(odd);
    EXPECT_FALSE(unknown.known) << odd;
    EXPECT_TRUE(unknown.Has("systemName")) << odd;
  }
}

TEST(DeviceSetOperations, MembersNotGivenKeepTheAgentsValues) {
  const ns__SwitchInfo agent = Filled("agent", 100);
  ns__SwitchInfo s = Filled("caller", 200);
  const GivenMembers given = FindGivenMembers(kPartialRequest, "switchInfo");
  const std::vector<std::string_view> missing = MembersNotGiven(given);
  EXPECT_EQ(missing.size(), kSwitchInfoMemberCount - 4);
  EXPECT_EQ(missing.front(), "productName");
  EXPECT_EQ(missing.back(), "wifiRoaming");
  KeepMembersNotGiven(agent, given, s);
  EXPECT_EQ(s.macAddr, "caller-mac");
  EXPECT_EQ(s.systemName, L"name0");  // the caller's (Filled 200)
  EXPECT_EQ(s.wifiSSID, "caller-ssid");
  EXPECT_EQ(s.agentIpAddr, "agent-ip");
  EXPECT_EQ(s.dhcpMode, agent.dhcpMode);
  EXPECT_EQ(s.txPowerLevel5G, agent.txPowerLevel5G);
  EXPECT_EQ(s.wifiRoaming, agent.wifiRoaming);
  EXPECT_EQ(s.funBitmap3, agent.funBitmap3);
  // Every member given (or the request unreadable): nothing is taken.
  ns__SwitchInfo all = Filled("caller", 200);
  KeepMembersNotGiven(agent, GivenMembers{}, all);
  EXPECT_EQ(all.agentIpAddr, "caller-ip");
  EXPECT_TRUE(MembersNotGiven(GivenMembers{}).empty());
}

}  // namespace
}  // namespace ferro
