#pragma once
// The engine's record of one agent: a plain 1600-byte value whose bytes are
// exactly the layout stored in saved-device files, so the record is written
// and read whole. Integers are little-endian (the host order, asserted
// below); IPv4 addresses are 4 bytes in network order; text fields are
// NUL-terminated and their width includes the NUL.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace ferro {

struct AgentRecord {
  char productName[41];
  char systemName[21];
  char location[21];
  char systemTime[11];
  char controllerIPURL[130];
  uint16_t controlledByAC;
  char loginUser[18];
  uint8_t agentIpAddr[4];
  uint8_t agentNetmask[4];
  uint8_t agentGateway[4];
  uint8_t agentDNS1[4];
  uint8_t agentDNS2[4];
  uint8_t trapIpAddr[4];
  char newPasseord[21];  // new password for a password change; never filled from the wire
  char oldPassword[21];
  uint16_t dhcpMode;  // 3 = leave unchanged (not sent)
  char fwVersion[18];
  uint16_t productType;
  uint16_t httpPort;
  uint8_t reserved334[2];
  uint32_t groupTimer;  // 0xFFFFFFFF = leave unchanged (not sent)
  uint16_t lldpMode;    // 3 = leave unchanged
  char lldpAuthenkey[22];
  uint16_t snmpMode;  // 3 = leave unchanged
  uint16_t agentProtoVer;
  uint16_t agentFamilyType;
  uint16_t agentInterfaceVer;  // 1: one-byte dhcpMode item; 4: loader commands
  uint32_t upgradeDelayTime;
  uint32_t upgradeRebootTime;
  uint16_t vlanID;
  uint8_t reserved382[2];
  uint32_t upgradeEreaseFlashTime;
  uint32_t funBitmap0;  // which items the agent supports; bit 29: names are UTF-8
  uint32_t funBitmap1;
  uint32_t funBitmap2;
  uint32_t funBitmap3;
  char errString[128];
  char trapMessage[256];
  uint8_t macAddr[6];
  uint8_t reserved794[2];
  int32_t isLoaderMode;
  uint16_t wifiEnable;
  char wifiSSID[33];
  char wifiKey[65];
  char wifiSecurity[36];
  uint8_t radiusIP[4];
  uint16_t radiusPort;
  char radiusSecret[66];
  uint16_t wifiChannel;
  uint16_t wifiCurrentChannel;
  char wifi80211Mode[18];
  uint16_t wifiVisible;
  uint16_t wifiSSIDIsolution;
  uint16_t wifiVlanID;
  char bandwidthControl[28];
  char rssiScanner[12];
  uint16_t txPowerLevel;
  uint16_t wifiEnable5G;
  char wifiSSID5G[33];
  char wifiKey5G[65];
  char wifiSecurity5G[34];
  uint8_t radiusIP5G[4];
  uint16_t radiusPort5G;
  char radiusSecret5G[66];
  uint16_t wifiChannel5G;
  uint16_t wifiCurrentChannel5G;
  char wifi80211Mode5G[18];
  uint16_t wifiVisible5G;
  uint16_t wifiSSIDIsolution5G;
  uint16_t wifiVlanID5G;
  char bandwidthControl5G[28];
  char rssiScanner5G[12];
  uint16_t txPowerLevel5G;
  char wifiBand[17];
  char fwDomain[5];
  char wifiSupportChannel[101];
  char wifiSupportChannel5G[101];
  char wifiChannelWidth[9];
  char wifiChannelWidth5G[9];
  uint16_t wifiBandSteering;
  uint16_t wifiRoaming;
};

// Bit 29 of funBitmap0: systemName and location are kept as UTF-8 rather
// than in the PC's ANSI code page.
inline constexpr uint32_t kNameUtf8Flag = 0x20000000u;

// Values of the three mode fields: 3 leaves the agent's setting unchanged,
// 2 is what a reply that omits the item leaves in the record.
inline constexpr uint16_t kModeUnchanged = 3;
inline constexpr uint16_t kModeAbsent = 2;
inline constexpr uint32_t kGroupTimerUnchanged = 0xFFFFFFFFu;

inline constexpr size_t kAgentRecordSize = 1600;

static_assert(std::endian::native == std::endian::little,
              "AgentRecord integers are stored little-endian in memory and on disk");
static_assert(std::is_trivially_copyable_v<AgentRecord> && std::is_standard_layout_v<AgentRecord>);
static_assert(sizeof(AgentRecord) == kAgentRecordSize);

// Every offset of the stored layout.
static_assert(offsetof(AgentRecord, productName) == 0);
static_assert(offsetof(AgentRecord, systemName) == 41);
static_assert(offsetof(AgentRecord, location) == 62);
static_assert(offsetof(AgentRecord, systemTime) == 83);
static_assert(offsetof(AgentRecord, controllerIPURL) == 94);
static_assert(offsetof(AgentRecord, controlledByAC) == 224);
static_assert(offsetof(AgentRecord, loginUser) == 226);
static_assert(offsetof(AgentRecord, agentIpAddr) == 244);
static_assert(offsetof(AgentRecord, agentNetmask) == 248);
static_assert(offsetof(AgentRecord, agentGateway) == 252);
static_assert(offsetof(AgentRecord, agentDNS1) == 256);
static_assert(offsetof(AgentRecord, agentDNS2) == 260);
static_assert(offsetof(AgentRecord, trapIpAddr) == 264);
static_assert(offsetof(AgentRecord, newPasseord) == 268);
static_assert(offsetof(AgentRecord, oldPassword) == 289);
static_assert(offsetof(AgentRecord, dhcpMode) == 310);
static_assert(offsetof(AgentRecord, fwVersion) == 312);
static_assert(offsetof(AgentRecord, productType) == 330);
static_assert(offsetof(AgentRecord, httpPort) == 332);
static_assert(offsetof(AgentRecord, reserved334) == 334);
static_assert(offsetof(AgentRecord, groupTimer) == 336);
static_assert(offsetof(AgentRecord, lldpMode) == 340);
static_assert(offsetof(AgentRecord, lldpAuthenkey) == 342);
static_assert(offsetof(AgentRecord, snmpMode) == 364);
static_assert(offsetof(AgentRecord, agentProtoVer) == 366);
static_assert(offsetof(AgentRecord, agentFamilyType) == 368);
static_assert(offsetof(AgentRecord, agentInterfaceVer) == 370);
static_assert(offsetof(AgentRecord, upgradeDelayTime) == 372);
static_assert(offsetof(AgentRecord, upgradeRebootTime) == 376);
static_assert(offsetof(AgentRecord, vlanID) == 380);
static_assert(offsetof(AgentRecord, reserved382) == 382);
static_assert(offsetof(AgentRecord, upgradeEreaseFlashTime) == 384);
static_assert(offsetof(AgentRecord, funBitmap0) == 388);
static_assert(offsetof(AgentRecord, funBitmap1) == 392);
static_assert(offsetof(AgentRecord, funBitmap2) == 396);
static_assert(offsetof(AgentRecord, funBitmap3) == 400);
static_assert(offsetof(AgentRecord, errString) == 404);
static_assert(offsetof(AgentRecord, trapMessage) == 532);
static_assert(offsetof(AgentRecord, macAddr) == 788);
static_assert(offsetof(AgentRecord, reserved794) == 794);
static_assert(offsetof(AgentRecord, isLoaderMode) == 796);
static_assert(offsetof(AgentRecord, wifiEnable) == 800);
static_assert(offsetof(AgentRecord, wifiSSID) == 802);
static_assert(offsetof(AgentRecord, wifiKey) == 835);
static_assert(offsetof(AgentRecord, wifiSecurity) == 900);
static_assert(offsetof(AgentRecord, radiusIP) == 936);
static_assert(offsetof(AgentRecord, radiusPort) == 940);
static_assert(offsetof(AgentRecord, radiusSecret) == 942);
static_assert(offsetof(AgentRecord, wifiChannel) == 1008);
static_assert(offsetof(AgentRecord, wifiCurrentChannel) == 1010);
static_assert(offsetof(AgentRecord, wifi80211Mode) == 1012);
static_assert(offsetof(AgentRecord, wifiVisible) == 1030);
static_assert(offsetof(AgentRecord, wifiSSIDIsolution) == 1032);
static_assert(offsetof(AgentRecord, wifiVlanID) == 1034);
static_assert(offsetof(AgentRecord, bandwidthControl) == 1036);
static_assert(offsetof(AgentRecord, rssiScanner) == 1064);
static_assert(offsetof(AgentRecord, txPowerLevel) == 1076);
static_assert(offsetof(AgentRecord, wifiEnable5G) == 1078);
static_assert(offsetof(AgentRecord, wifiSSID5G) == 1080);
static_assert(offsetof(AgentRecord, wifiKey5G) == 1113);
static_assert(offsetof(AgentRecord, wifiSecurity5G) == 1178);
static_assert(offsetof(AgentRecord, radiusIP5G) == 1212);
static_assert(offsetof(AgentRecord, radiusPort5G) == 1216);
static_assert(offsetof(AgentRecord, radiusSecret5G) == 1218);
static_assert(offsetof(AgentRecord, wifiChannel5G) == 1284);
static_assert(offsetof(AgentRecord, wifiCurrentChannel5G) == 1286);
static_assert(offsetof(AgentRecord, wifi80211Mode5G) == 1288);
static_assert(offsetof(AgentRecord, wifiVisible5G) == 1306);
static_assert(offsetof(AgentRecord, wifiSSIDIsolution5G) == 1308);
static_assert(offsetof(AgentRecord, wifiVlanID5G) == 1310);
static_assert(offsetof(AgentRecord, bandwidthControl5G) == 1312);
static_assert(offsetof(AgentRecord, rssiScanner5G) == 1340);
static_assert(offsetof(AgentRecord, txPowerLevel5G) == 1352);
static_assert(offsetof(AgentRecord, wifiBand) == 1354);
static_assert(offsetof(AgentRecord, fwDomain) == 1371);
static_assert(offsetof(AgentRecord, wifiSupportChannel) == 1376);
static_assert(offsetof(AgentRecord, wifiSupportChannel5G) == 1477);
static_assert(offsetof(AgentRecord, wifiChannelWidth) == 1578);
static_assert(offsetof(AgentRecord, wifiChannelWidth5G) == 1587);
static_assert(offsetof(AgentRecord, wifiBandSteering) == 1596);
static_assert(offsetof(AgentRecord, wifiRoaming) == 1598);

// A zero-filled record, the starting point of every fresh record.
// (The record has no padding, so value-initialising it zeroes every byte.)
inline AgentRecord ZeroAgentRecord() { return AgentRecord{}; }

}  // namespace ferro
