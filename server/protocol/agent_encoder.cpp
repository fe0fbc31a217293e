#include "protocol/agent_encoder.h"

#include <cstring>

#include "protocol/packet.h"
#include "protocol/tlv.h"

namespace ferro {
namespace {

enum class Form : uint8_t {
  kText,          // characters before the NUL
  kTextNotEmpty,  // as kText, but only when there is at least one character
  kAddress,       // 4 bytes as stored
  kHostAddress,   // as kAddress, zero for the DHCP kind
  kU32,           // big-endian
  kU32Settable,   // as kU32, not sent when 0xFFFFFFFF (leave unchanged)
  kU16,           // big-endian
  kMode,          // as kU16, not sent when 3 (leave unchanged)
  kDhcpMode,      // as kMode, one byte when the agent's interface version is 1
  kByte,          // low byte of a 16-bit field
};

struct Item {
  uint16_t type;
  Form form;
  uint16_t offset;  // of the field in AgentRecord
  uint16_t size;    // of the field
  uint8_t word;     // funBitmap word that selects the item
  uint8_t bit;
};

#define FERRO_FIELD(name)                             \
  static_cast<uint16_t>(offsetof(AgentRecord, name)), \
      static_cast<uint16_t>(sizeof(AgentRecord::name))

// The items of a settings command in the order they are written.
constexpr Item kItems[] = {
    {kTlvOldPassword, Form::kText, FERRO_FIELD(oldPassword), 0, 8},
    {kTlvProductName, Form::kText, FERRO_FIELD(productName), 0, 0},
    {kTlvSystemName, Form::kText, FERRO_FIELD(systemName), 0, 1},
    {kTlvLocation, Form::kText, FERRO_FIELD(location), 0, 2},
    {kTlvAgentIpAddr, Form::kHostAddress, FERRO_FIELD(agentIpAddr), 0, 3},
    {kTlvAgentNetmask, Form::kHostAddress, FERRO_FIELD(agentNetmask), 0, 4},
    {kTlvAgentGateway, Form::kHostAddress, FERRO_FIELD(agentGateway), 0, 5},
    {kTlvAgentDns1, Form::kAddress, FERRO_FIELD(agentDNS1), 0, 2},
    {kTlvAgentDns2, Form::kAddress, FERRO_FIELD(agentDNS2), 0, 2},
    {kTlvTrapIpAddr, Form::kAddress, FERRO_FIELD(trapIpAddr), 0, 6},
    {kTlvNewPassword, Form::kTextNotEmpty, FERRO_FIELD(newPasseord), 0, 7},
    {kTlvDhcpMode, Form::kDhcpMode, FERRO_FIELD(dhcpMode), 0, 9},
    {kTlvLldpMode, Form::kMode, FERRO_FIELD(lldpMode), 0, 23},
    {kTlvSnmpMode, Form::kMode, FERRO_FIELD(snmpMode), 0, 25},
    {kTlvGroupTimer, Form::kU32Settable, FERRO_FIELD(groupTimer), 0, 21},
    {kTlvLldpAuthenkey, Form::kText, FERRO_FIELD(lldpAuthenkey), 0, 24},
    {kTlvUpgradeDelayTime, Form::kU32, FERRO_FIELD(upgradeDelayTime), 0, 26},
    {kTlvUpgradeRebootTime, Form::kU32, FERRO_FIELD(upgradeRebootTime), 0, 27},
    {kTlvUpgradeEreaseFlashTime, Form::kU32, FERRO_FIELD(upgradeEreaseFlashTime), 0, 30},
    {kTlvVlanId, Form::kU16, FERRO_FIELD(vlanID), 1, 2},
    {kTlvSystemTime, Form::kText, FERRO_FIELD(systemTime), 1, 2},
    {kTlvControllerIpUrl, Form::kText, FERRO_FIELD(controllerIPURL), 2, 1},
    {kTlvControlledByAc, Form::kByte, FERRO_FIELD(controlledByAC), 2, 1},
    {kTlvLoginUser, Form::kText, FERRO_FIELD(loginUser), 2, 1},
    {kTlvWifiBand, Form::kText, FERRO_FIELD(wifiBand), 1, 7},
    {kTlvWifiEnable, Form::kByte, FERRO_FIELD(wifiEnable), 1, 1},
    {kTlvWifiSsid, Form::kText, FERRO_FIELD(wifiSSID), 1, 2},
    {kTlvWifiSecurity, Form::kText, FERRO_FIELD(wifiSecurity), 1, 3},
    {kTlvWifiKey, Form::kText, FERRO_FIELD(wifiKey), 1, 8},
    {kTlvWifiChannel, Form::kByte, FERRO_FIELD(wifiChannel), 1, 4},
    {kTlvWifi80211Mode, Form::kText, FERRO_FIELD(wifi80211Mode), 1, 5},
    {kTlvWifiChannelWidth, Form::kText, FERRO_FIELD(wifiChannelWidth), 1, 2},
    {kTlvWifiVisible, Form::kByte, FERRO_FIELD(wifiVisible), 1, 6},
    {kTlvWifiSupportChannel, Form::kText, FERRO_FIELD(wifiSupportChannel), 1, 2},
    {kTlvRadiusIp, Form::kAddress, FERRO_FIELD(radiusIP), 0, 2},
    {kTlvRadiusPort, Form::kU16, FERRO_FIELD(radiusPort), 1, 2},
    {kTlvRadiusSecret, Form::kText, FERRO_FIELD(radiusSecret), 1, 2},
    {kTlvWifiSsidIsolation, Form::kByte, FERRO_FIELD(wifiSSIDIsolution), 1, 2},
    {kTlvWifiVlanId, Form::kU16, FERRO_FIELD(wifiVlanID), 1, 2},
    {kTlvBandwidthControl, Form::kText, FERRO_FIELD(bandwidthControl), 1, 9},
    {kTlvRssiScanner, Form::kText, FERRO_FIELD(rssiScanner), 1, 9},
    {kTlvTxPowerLevel, Form::kByte, FERRO_FIELD(txPowerLevel), 1, 9},
    {kTlvWifiEnable5G, Form::kByte, FERRO_FIELD(wifiEnable5G), 1, 1},
    {kTlvWifiSsid5G, Form::kText, FERRO_FIELD(wifiSSID5G), 1, 2},
    {kTlvWifiSecurity5G, Form::kText, FERRO_FIELD(wifiSecurity5G), 1, 3},
    {kTlvWifiKey5G, Form::kText, FERRO_FIELD(wifiKey5G), 1, 8},
    {kTlvWifiChannel5G, Form::kByte, FERRO_FIELD(wifiChannel5G), 1, 4},
    {kTlvWifi80211Mode5G, Form::kText, FERRO_FIELD(wifi80211Mode5G), 1, 5},
    {kTlvWifiChannelWidth5G, Form::kText, FERRO_FIELD(wifiChannelWidth5G), 1, 2},
    {kTlvWifiVisible5G, Form::kByte, FERRO_FIELD(wifiVisible5G), 1, 6},
    {kTlvWifiSupportChannel5G, Form::kText, FERRO_FIELD(wifiSupportChannel5G), 1, 2},
    {kTlvRadiusIp5G, Form::kAddress, FERRO_FIELD(radiusIP5G), 0, 2},
    {kTlvRadiusPort5G, Form::kU16, FERRO_FIELD(radiusPort5G), 1, 2},
    {kTlvRadiusSecret5G, Form::kText, FERRO_FIELD(radiusSecret5G), 1, 2},
    {kTlvWifiSsidIsolation5G, Form::kByte, FERRO_FIELD(wifiSSIDIsolution5G), 1, 2},
    {kTlvWifiVlanId5G, Form::kU16, FERRO_FIELD(wifiVlanID5G), 1, 2},
    {kTlvBandwidthControl5G, Form::kText, FERRO_FIELD(bandwidthControl5G), 1, 9},
    {kTlvRssiScanner5G, Form::kText, FERRO_FIELD(rssiScanner5G), 1, 9},
    {kTlvTxPowerLevel5G, Form::kByte, FERRO_FIELD(txPowerLevel5G), 1, 9},
    {kTlvFwDomain, Form::kText, FERRO_FIELD(fwDomain), 1, 2},
    {kTlvWifiBandSteering, Form::kByte, FERRO_FIELD(wifiBandSteering), 1, 2},
    {kTlvWifiRoaming, Form::kByte, FERRO_FIELD(wifiRoaming), 1, 10},
};

#undef FERRO_FIELD

static_assert(std::size(kItems) == 62);

uint16_t FieldU16(const uint8_t* field) {
  uint16_t v;
  std::memcpy(&v, field, sizeof v);
  return v;
}

uint32_t FieldU32(const uint8_t* field) {
  uint32_t v;
  std::memcpy(&v, field, sizeof v);
  return v;
}

bool Selected(const AgentRecord& r, const Item& item) {
  const uint32_t words[] = {r.funBitmap0, r.funBitmap1, r.funBitmap2};
  return (words[item.word] >> item.bit) & 1u;
}

void WriteItem(const AgentRecord& r, const Item& item, int kind, TlvWriter& out) {
  const auto* field = reinterpret_cast<const uint8_t*>(&r) + item.offset;
  const auto* text = reinterpret_cast<const char*>(field);
  static constexpr uint8_t kZeroAddress[4] = {};
  switch (item.form) {
    case Form::kText:
      out.PutText(item.type, text, item.size);
      break;
    case Form::kTextNotEmpty:
      if (text[0] != '\0') out.PutText(item.type, text, item.size);
      break;
    case Form::kAddress:
      out.PutAddress(item.type, field);
      break;
    case Form::kHostAddress:
      out.PutAddress(item.type, kind == kEncodeDhcp ? kZeroAddress : field);
      break;
    case Form::kU32:
      out.PutU32(item.type, FieldU32(field));
      break;
    case Form::kU32Settable:
      if (FieldU32(field) != kGroupTimerUnchanged) out.PutU32(item.type, FieldU32(field));
      break;
    case Form::kU16:
      out.PutU16(item.type, FieldU16(field));
      break;
    case Form::kMode:
      if (FieldU16(field) != kModeUnchanged) out.PutU16(item.type, FieldU16(field));
      break;
    case Form::kDhcpMode:
      if (FieldU16(field) == kModeUnchanged) break;
      if (r.agentInterfaceVer == 1) {
        out.PutU8(item.type, static_cast<uint8_t>(FieldU16(field)));
      } else {
        out.PutU16(item.type, FieldU16(field));
      }
      break;
    case Form::kByte:
      out.PutU8(item.type, static_cast<uint8_t>(FieldU16(field)));
      break;
  }
}

}  // namespace

size_t EncodeAgentTlvs(const AgentRecord& record, int kind, uint8_t* packet) {
  if (packet == nullptr) return 0;
  // The largest possible body (every item, every text full) is 1358 bytes,
  // so the writer's capacity check never drops an item here.
  TlvWriter out(packet);
  for (const Item& item : kItems) {
    if (Selected(record, item)) WriteItem(record, item, kind, out);
  }
  return out.written();
}

size_t AppendPasswordTlvs(std::string_view oldText, std::string_view newText, uint8_t* packet) {
  if (packet == nullptr) return 0;
  TlvWriter out(packet);
  out.Put(kTlvOldPassword, oldText.data(), oldText.size());
  out.Put(kTlvNewPassword, newText.data(), newText.size());
  return out.written();
}

size_t AppendPasswordTlv(const char* text, size_t length, uint8_t* packet) {
  if (packet == nullptr || (text == nullptr && length > 0)) return 0;
  TlvWriter out(packet);
  return out.Put(kTlvOldPassword, text, length) ? out.written() : 0;
}

}  // namespace ferro
