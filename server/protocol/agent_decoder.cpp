#include "protocol/agent_decoder.h"

#include <algorithm>
#include <cstring>

#include "protocol/packet.h"
#include "protocol/tlv.h"

namespace ferro {
namespace {

enum class Class : uint8_t {
  kSkip,
  kText,
  kTrimmedText,      // trailing spaces removed
  kAddress,          // 4 bytes as they are; item always 8 bytes
  kU32Fixed,         // big-endian; item always 8 bytes
  kU32Sized,         // first 4 value bytes big-endian
  kU16Fixed,         // first 2 value bytes big-endian; item always 6 bytes
  kSmall,            // 1 byte, or the first 2 value bytes big-endian
  kSmallEmptyZero,   // as kSmall; an empty value gives 0
  kSmallEmptyKeeps,  // as kSmall; an empty value leaves the field alone
  kAddressOrClear,   // exactly 4 bytes copied, any other length clears the field
  kBitmap,           // four 32-bit words; item always 20 bytes
};

struct Target {
  Class cls = Class::kSkip;
  uint16_t offset = 0;
  uint16_t size = 0;
};

#define FERRO_TARGET(c, name)                              \
  Target {                                                 \
    c, static_cast<uint16_t>(offsetof(AgentRecord, name)), \
        static_cast<uint16_t>(sizeof(AgentRecord::name))   \
  }

Target TargetOf(uint16_t type) {
  switch (type) {
    case kTlvProductName:
      return FERRO_TARGET(Class::kTrimmedText, productName);
    case kTlvSystemName:
      return FERRO_TARGET(Class::kText, systemName);
    case kTlvLocation:
      return FERRO_TARGET(Class::kText, location);
    case kTlvAgentIpAddr:
      return FERRO_TARGET(Class::kAddress, agentIpAddr);
    case kTlvAgentNetmask:
      return FERRO_TARGET(Class::kAddress, agentNetmask);
    case kTlvAgentGateway:
      return FERRO_TARGET(Class::kAddress, agentGateway);
    case kTlvTrapIpAddr:
      return FERRO_TARGET(Class::kAddress, trapIpAddr);
    case kTlvOldPassword:
      return FERRO_TARGET(Class::kText, oldPassword);
    case kTlvDhcpMode:
      return FERRO_TARGET(Class::kSmall, dhcpMode);
    case kTlvFwVersion:
      return FERRO_TARGET(Class::kText, fwVersion);
    case kTlvProductType:
      return FERRO_TARGET(Class::kU16Fixed, productType);
    case kTlvHttpPort:
      return FERRO_TARGET(Class::kU16Fixed, httpPort);
    case kTlvGroupTimer:
      return FERRO_TARGET(Class::kU32Sized, groupTimer);
    case kTlvLldpMode:
      return FERRO_TARGET(Class::kU16Fixed, lldpMode);
    case kTlvLldpAuthenkey:
      return FERRO_TARGET(Class::kText, lldpAuthenkey);
    case kTlvSnmpMode:
      return FERRO_TARGET(Class::kU16Fixed, snmpMode);
    case kTlvUpgradeDelayTime:
      return FERRO_TARGET(Class::kU32Fixed, upgradeDelayTime);
    case kTlvUpgradeRebootTime:
      return FERRO_TARGET(Class::kU32Fixed, upgradeRebootTime);
    case kTlvUpgradeEreaseFlashTime:
      return FERRO_TARGET(Class::kU32Fixed, upgradeEreaseFlashTime);
    case kTlvErrString:
      return FERRO_TARGET(Class::kText, errString);
    case kTlvTrapMessage:
      return FERRO_TARGET(Class::kText, trapMessage);
    case kTlvAgentDns1:
      return FERRO_TARGET(Class::kAddress, agentDNS1);
    case kTlvAgentDns2:
      return FERRO_TARGET(Class::kAddress, agentDNS2);
    case kTlvVlanId:
      return FERRO_TARGET(Class::kSmall, vlanID);
    case kTlvSystemTime:
      return FERRO_TARGET(Class::kText, systemTime);
    case kTlvControllerIpUrl:
      return FERRO_TARGET(Class::kText, controllerIPURL);
    case kTlvControlledByAc:
      return FERRO_TARGET(Class::kSmallEmptyZero, controlledByAC);
    case kTlvLoginUser:
      return FERRO_TARGET(Class::kText, loginUser);
    case kTlvWifiEnable:
      return FERRO_TARGET(Class::kSmall, wifiEnable);
    case kTlvWifiSsid:
      return FERRO_TARGET(Class::kText, wifiSSID);
    case kTlvWifiKey:
      return FERRO_TARGET(Class::kText, wifiKey);
    case kTlvWifiSecurity:
      return FERRO_TARGET(Class::kText, wifiSecurity);
    case kTlvWifiChannel:
      return FERRO_TARGET(Class::kSmall, wifiChannel);
    case kTlvWifi80211Mode:
      return FERRO_TARGET(Class::kText, wifi80211Mode);
    case kTlvWifiChannelWidth:
      return FERRO_TARGET(Class::kText, wifiChannelWidth);
    case kTlvWifiVisible:
      return FERRO_TARGET(Class::kSmall, wifiVisible);
    case kTlvWifiBand:
      return FERRO_TARGET(Class::kText, wifiBand);
    case kTlvWifiCurrentChannel:
      return FERRO_TARGET(Class::kSmall, wifiCurrentChannel);
    case kTlvWifiSupportChannel:
      return FERRO_TARGET(Class::kText, wifiSupportChannel);
    case kTlvRadiusIp:
      return FERRO_TARGET(Class::kAddressOrClear, radiusIP);
    case kTlvRadiusPort:
      return FERRO_TARGET(Class::kSmallEmptyZero, radiusPort);
    case kTlvRadiusSecret:
      return FERRO_TARGET(Class::kText, radiusSecret);
    case kTlvWifiSsidIsolation:
      return FERRO_TARGET(Class::kSmall, wifiSSIDIsolution);
    case kTlvWifiVlanId:
      return FERRO_TARGET(Class::kSmall, wifiVlanID);
    case kTlvBandwidthControl:
      return FERRO_TARGET(Class::kText, bandwidthControl);
    case kTlvRssiScanner:
      return FERRO_TARGET(Class::kText, rssiScanner);
    case kTlvTxPowerLevel:
      return FERRO_TARGET(Class::kSmall, txPowerLevel);
    case kTlvFunBitmap:
      return Target{Class::kBitmap, static_cast<uint16_t>(offsetof(AgentRecord, funBitmap0)), 16};
    case kTlvWifiEnable5G:
      return FERRO_TARGET(Class::kSmall, wifiEnable5G);
    case kTlvWifiSsid5G:
      return FERRO_TARGET(Class::kText, wifiSSID5G);
    case kTlvWifiKey5G:
      return FERRO_TARGET(Class::kText, wifiKey5G);
    case kTlvWifiSecurity5G:
      return FERRO_TARGET(Class::kText, wifiSecurity5G);
    case kTlvWifiChannel5G:
      return FERRO_TARGET(Class::kSmall, wifiChannel5G);
    case kTlvWifi80211Mode5G:
      return FERRO_TARGET(Class::kText, wifi80211Mode5G);
    case kTlvWifiChannelWidth5G:
      return FERRO_TARGET(Class::kText, wifiChannelWidth5G);
    case kTlvWifiVisible5G:
      return FERRO_TARGET(Class::kSmall, wifiVisible5G);
    case kTlvWifiCurrentChannel5G:
      return FERRO_TARGET(Class::kSmall, wifiCurrentChannel5G);
    case kTlvWifiSupportChannel5G:
      return FERRO_TARGET(Class::kText, wifiSupportChannel5G);
    case kTlvRadiusIp5G:
      return FERRO_TARGET(Class::kAddressOrClear, radiusIP5G);
    case kTlvRadiusPort5G:
      return FERRO_TARGET(Class::kSmallEmptyKeeps, radiusPort5G);
    case kTlvRadiusSecret5G:
      return FERRO_TARGET(Class::kText, radiusSecret5G);
    case kTlvWifiSsidIsolation5G:
      return FERRO_TARGET(Class::kSmall, wifiSSIDIsolution5G);
    case kTlvWifiVlanId5G:
      return FERRO_TARGET(Class::kSmall, wifiVlanID5G);
    case kTlvBandwidthControl5G:
      return FERRO_TARGET(Class::kText, bandwidthControl5G);
    case kTlvRssiScanner5G:
      return FERRO_TARGET(Class::kText, rssiScanner5G);
    case kTlvTxPowerLevel5G:
      return FERRO_TARGET(Class::kSmall, txPowerLevel5G);
    case kTlvFwDomain:
      return FERRO_TARGET(Class::kText, fwDomain);
    case kTlvWifiBandSteering:
      return FERRO_TARGET(Class::kSmall, wifiBandSteering);
    case kTlvWifiRoaming:
      return FERRO_TARGET(Class::kSmall, wifiRoaming);
    default:
      return Target{};  // 8 (a new password) and every unknown type
  }
}

#undef FERRO_TARGET

// Bytes of the item that the class takes, whatever the length field says
// for the fixed classes.
size_t ItemSize(Class cls, size_t lengthField) {
  switch (cls) {
    case Class::kAddress:
    case Class::kU32Fixed:
      return 8;
    case Class::kU16Fixed:
      return 6;
    case Class::kBitmap:
      return 20;
    default:
      return lengthField;
  }
}

// Reads `n` bytes big-endian from a value of `valueLength` bytes; bytes
// beyond the value read as zero.
uint32_t ValueBe(const uint8_t* value, size_t valueLength, size_t n) {
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i) v = (v << 8) | (i < valueLength ? value[i] : 0u);
  return v;
}

void StoreU16(uint8_t* field, uint32_t v) {
  const auto x = static_cast<uint16_t>(v);
  std::memcpy(field, &x, sizeof x);
}

void StoreU32(uint8_t* field, uint32_t v) { std::memcpy(field, &v, sizeof v); }

// 1 byte: zero-extended; otherwise the first two bytes big-endian.
uint32_t SmallValue(const uint8_t* value, size_t valueLength) {
  return valueLength == 1 ? value[0] : ValueBe(value, valueLength, 2);
}

void StoreItem(const Target& t, const uint8_t* value, size_t valueLength, uint8_t* field) {
  switch (t.cls) {
    case Class::kSkip:
      break;
    case Class::kText:
    case Class::kTrimmedText: {
      size_t n = std::min(valueLength, static_cast<size_t>(t.size - 1));
      if (t.cls == Class::kTrimmedText) {
        while (n > 0 && value[n - 1] == ' ') --n;
      }
      std::memcpy(field, value, n);
      field[n] = 0;
      break;
    }
    case Class::kAddress:
      std::memcpy(field, value, 4);
      break;
    case Class::kU32Fixed:
    case Class::kU32Sized:
      StoreU32(field, ValueBe(value, valueLength, 4));
      break;
    case Class::kU16Fixed:
      StoreU16(field, ValueBe(value, valueLength, 2));
      break;
    case Class::kSmall:
      StoreU16(field, SmallValue(value, valueLength));
      break;
    case Class::kSmallEmptyZero:
      StoreU16(field, valueLength == 0 ? 0 : SmallValue(value, valueLength));
      break;
    case Class::kSmallEmptyKeeps:
      if (valueLength != 0) StoreU16(field, SmallValue(value, valueLength));
      break;
    case Class::kAddressOrClear:
      if (valueLength == 4) {
        std::memcpy(field, value, 4);
      } else {
        std::memset(field, 0, 4);
      }
      break;
    case Class::kBitmap:
      for (size_t i = 0; i < 4; ++i) StoreU32(field + 4 * i, LoadBe32(value + 4 * i));
      break;
  }
}

// Takes the header-derived fields and every item of the datagram into
// `record`; the three modes are reset to "absent" first only when
// `resetModes` is set.
void Decode(const uint8_t* packet, size_t length, AgentRecord& record, bool resetModes) {
  if (resetModes) {
    record.dhcpMode = kModeAbsent;
    record.lldpMode = kModeAbsent;
    record.snmpMode = kModeAbsent;
  }

  const PacketHeader h = ParsePacketHeader(packet, length);
  record.agentProtoVer = h.protoVer;
  record.agentInterfaceVer = h.interfaceVer;
  record.agentFamilyType = h.familyType;
  std::memcpy(record.macAddr, h.agentMac, kMacSize);
  record.isLoaderMode =
      (h.opcode == kOpLoaderDiscoverReply || h.opcode == kOpLoaderCommandReply) ? 1 : 0;

  if (packet == nullptr) return;
  auto* base = reinterpret_cast<uint8_t*>(&record);
  size_t pos = kPacketHeaderSize;
  while (pos < length && length - pos >= kTlvHeaderSize) {
    const uint16_t type = LoadBe16(packet + pos);
    const uint16_t lengthField = LoadBe16(packet + pos + 2);
    const Target t = TargetOf(type);
    const size_t size = ItemSize(t.cls, lengthField);
    // A size below the item's own header cannot move on; only items whose
    // size comes from their length field can have one. Fixed-size items are
    // taken at their size whatever their length field says.
    if (size < kTlvHeaderSize || size > length - pos) break;
    StoreItem(t, packet + pos + kTlvHeaderSize, size - kTlvHeaderSize, base + t.offset);
    pos += size;
  }
}

}  // namespace

int DecodeAgentPacket(const uint8_t* packet, size_t length, AgentRecord& record) {
  Decode(packet, length, record, true);
  return 1;
}

void MergeAgentPacket(const uint8_t* packet, size_t length, AgentRecord& record) {
  Decode(packet, length, record, false);
}

}  // namespace ferro
