#pragma once
// Type numbers of the TLV items that carry AgentRecord fields, and the
// upgrade-request items. Items travel as type (2 bytes), length (2 bytes,
// counting the 4-byte item header) and value, all big-endian.

#include <cstdint>

namespace ferro {

inline constexpr uint16_t kTlvProductName = 1;
inline constexpr uint16_t kTlvSystemName = 2;
inline constexpr uint16_t kTlvLocation = 3;
inline constexpr uint16_t kTlvAgentIpAddr = 4;
inline constexpr uint16_t kTlvAgentNetmask = 5;
inline constexpr uint16_t kTlvAgentGateway = 6;
inline constexpr uint16_t kTlvTrapIpAddr = 7;
inline constexpr uint16_t kTlvNewPassword = 8;
inline constexpr uint16_t kTlvOldPassword = 9;
inline constexpr uint16_t kTlvDhcpMode = 10;
inline constexpr uint16_t kTlvFwVersion = 11;
inline constexpr uint16_t kTlvProductType = 12;
inline constexpr uint16_t kTlvHttpPort = 21;
inline constexpr uint16_t kTlvGroupTimer = 22;
inline constexpr uint16_t kTlvLldpMode = 24;
inline constexpr uint16_t kTlvLldpAuthenkey = 25;
inline constexpr uint16_t kTlvSnmpMode = 26;
inline constexpr uint16_t kTlvUpgradeDelayTime = 27;
inline constexpr uint16_t kTlvUpgradeRebootTime = 28;
inline constexpr uint16_t kTlvUpgradeEreaseFlashTime = 29;
inline constexpr uint16_t kTlvErrString = 30;
inline constexpr uint16_t kTlvTrapMessage = 31;
inline constexpr uint16_t kTlvUpgrade32 = 32;  // items 32..35: upgrade request only
inline constexpr uint16_t kTlvUpgrade33 = 33;
inline constexpr uint16_t kTlvUpgrade34 = 34;
inline constexpr uint16_t kTlvUpgrade35 = 35;
inline constexpr uint16_t kTlvAgentDns1 = 41;
inline constexpr uint16_t kTlvAgentDns2 = 42;
inline constexpr uint16_t kTlvVlanId = 43;
inline constexpr uint16_t kTlvSystemTime = 44;
inline constexpr uint16_t kTlvControllerIpUrl = 50;
inline constexpr uint16_t kTlvControlledByAc = 51;
inline constexpr uint16_t kTlvLoginUser = 52;
inline constexpr uint16_t kTlvWifiEnable = 100;
inline constexpr uint16_t kTlvWifiSsid = 101;
inline constexpr uint16_t kTlvWifiKey = 102;
inline constexpr uint16_t kTlvWifiSecurity = 103;
inline constexpr uint16_t kTlvWifiChannel = 104;
inline constexpr uint16_t kTlvWifi80211Mode = 105;
inline constexpr uint16_t kTlvWifiChannelWidth = 106;
inline constexpr uint16_t kTlvWifiVisible = 107;
inline constexpr uint16_t kTlvWifiBand = 108;
inline constexpr uint16_t kTlvWifiCurrentChannel = 109;
inline constexpr uint16_t kTlvWifiSupportChannel = 110;
inline constexpr uint16_t kTlvRadiusIp = 111;
inline constexpr uint16_t kTlvRadiusPort = 112;
inline constexpr uint16_t kTlvRadiusSecret = 113;
inline constexpr uint16_t kTlvWifiSsidIsolation = 116;
inline constexpr uint16_t kTlvWifiVlanId = 117;
inline constexpr uint16_t kTlvBandwidthControl = 118;
inline constexpr uint16_t kTlvRssiScanner = 119;
inline constexpr uint16_t kTlvTxPowerLevel = 120;
inline constexpr uint16_t kTlvFunBitmap = 129;  // four 32-bit words
inline constexpr uint16_t kTlvWifiEnable5G = 130;
inline constexpr uint16_t kTlvWifiSsid5G = 131;
inline constexpr uint16_t kTlvWifiKey5G = 132;
inline constexpr uint16_t kTlvWifiSecurity5G = 133;
inline constexpr uint16_t kTlvWifiChannel5G = 134;
inline constexpr uint16_t kTlvWifi80211Mode5G = 135;
inline constexpr uint16_t kTlvWifiChannelWidth5G = 136;
inline constexpr uint16_t kTlvWifiVisible5G = 137;
inline constexpr uint16_t kTlvWifiCurrentChannel5G = 138;
inline constexpr uint16_t kTlvWifiSupportChannel5G = 139;
inline constexpr uint16_t kTlvRadiusIp5G = 140;
inline constexpr uint16_t kTlvRadiusPort5G = 141;
inline constexpr uint16_t kTlvRadiusSecret5G = 142;
inline constexpr uint16_t kTlvWifiSsidIsolation5G = 145;
inline constexpr uint16_t kTlvWifiVlanId5G = 146;
inline constexpr uint16_t kTlvBandwidthControl5G = 147;
inline constexpr uint16_t kTlvRssiScanner5G = 148;
inline constexpr uint16_t kTlvTxPowerLevel5G = 149;
inline constexpr uint16_t kTlvFwDomain = 161;
inline constexpr uint16_t kTlvWifiBandSteering = 163;
inline constexpr uint16_t kTlvWifiRoaming = 164;

}  // namespace ferro
