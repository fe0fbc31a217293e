#pragma once
// The agent's fields, declared once. Each row names an AgentRecord field and
// says how it travels: the TLV item that carries it (0: none, the header or
// nothing fills it), how the decoder reads that item, how a settings command
// writes it and which function-bitmap bit selects it, the item's place in a
// settings command, what the field is as a member of the service's
// SwitchInfo, and whether the agent only reports it (no SetDeviceCfgEx
// parameter sets it). The decoder, the encoder, both SwitchInfo conversions
// and the member overlay of the device-set operations are all driven by it.
//
// FERRO_SWITCHINFO_FIELDS lists the SwitchInfo members in contract order
// (the order of the service header, which the service checks against it);
// FERRO_RECORD_ONLY_FIELDS the fields a SwitchInfo does not carry.
//
// X(name, shape, tlv, read, write, word, bit, order, role)
//   shape  Text, Name (wide text as a member), Address, Number, Mac
//   read   ItemRead: how a received item is stored (None: never from an item)
//   write  ItemWrite: how a settings command writes it (None: never written)
//   word, bit  the funBitmap word and bit that select the item when writing
//   order  1-based place among the settings command's items (0: not written)
//   role   Settable, or AgentOnly: kept as the agent reported it

#include <array>
#include <cstddef>
#include <cstdint>

#include "protocol/agent_record.h"
#include "protocol/tlv.h"

// clang-format off
#define FERRO_SWITCHINFO_FIELDS(X)                                                                   \
  X(productName,          Text,    kTlvProductName,            TrimmedText,     Text,         0, 0,  2, AgentOnly) \
  X(systemName,           Name,    kTlvSystemName,             Text,            Text,         0, 1,  3, Settable)  \
  X(location,             Name,    kTlvLocation,               Text,            Text,         0, 2,  4, Settable)  \
  X(systemTime,           Text,    kTlvSystemTime,             Text,            Text,         1, 2, 21, Settable)  \
  X(controllerIPURL,      Text,    kTlvControllerIpUrl,        Text,            Text,         2, 1, 22, Settable)  \
  X(controlledByAC,       Number,  kTlvControlledByAc,         SmallEmptyZero,  Byte,         2, 1, 23, Settable)  \
  X(loginUser,            Text,    kTlvLoginUser,              Text,            Text,         2, 1, 24, Settable)  \
  X(agentIpAddr,          Address, kTlvAgentIpAddr,            Address,         HostAddress,  0, 3,  5, Settable)  \
  X(agentNetmask,         Address, kTlvAgentNetmask,           Address,         HostAddress,  0, 4,  6, Settable)  \
  X(agentGateway,         Address, kTlvAgentGateway,           Address,         HostAddress,  0, 5,  7, Settable)  \
  X(agentDNS1,            Address, kTlvAgentDns1,              Address,         Address,      0, 2,  8, Settable)  \
  X(agentDNS2,            Address, kTlvAgentDns2,              Address,         Address,      0, 2,  9, Settable)  \
  X(trapIpAddr,           Address, kTlvTrapIpAddr,             Address,         Address,      0, 6, 10, Settable)  \
  X(newPasseord,          Text,    kTlvNewPassword,            None,            TextNotEmpty, 0, 7, 11, Settable)  \
  X(oldPassword,          Text,    kTlvOldPassword,            Text,            Text,         0, 8,  1, Settable)  \
  X(dhcpMode,             Number,  kTlvDhcpMode,               Small,           DhcpMode,     0, 9, 12, Settable)  \
  X(fwVersion,            Text,    kTlvFwVersion,              Text,            None,         0, 0,  0, AgentOnly) \
  X(productType,          Number,  kTlvProductType,            U16Fixed,        None,         0, 0,  0, AgentOnly) \
  X(httpPort,             Number,  kTlvHttpPort,               U16Fixed,        None,         0, 0,  0, AgentOnly) \
  X(groupTimer,           Number,  kTlvGroupTimer,             U32Sized,        U32Settable,  0, 21, 15, Settable) \
  X(lldpMode,             Number,  kTlvLldpMode,               U16Fixed,        Mode,         0, 23, 13, AgentOnly) \
  X(lldpAuthenkey,        Text,    kTlvLldpAuthenkey,          Text,            Text,         0, 24, 16, AgentOnly) \
  X(snmpMode,             Number,  kTlvSnmpMode,               U16Fixed,        Mode,         0, 25, 14, Settable) \
  X(agentProtoVer,        Number,  0,                          None,            None,         0, 0,  0, AgentOnly) \
  X(agentFamilyType,      Number,  0,                          None,            None,         0, 0,  0, AgentOnly) \
  X(agentInterfaceVer,    Number,  0,                          None,            None,         0, 0,  0, AgentOnly) \
  X(upgradeDelayTime,     Number,  kTlvUpgradeDelayTime,       U32Fixed,        U32,          0, 26, 17, AgentOnly) \
  X(upgradeRebootTime,    Number,  kTlvUpgradeRebootTime,      U32Fixed,        U32,          0, 27, 18, AgentOnly) \
  X(upgradeEreaseFlashTime, Number, kTlvUpgradeEreaseFlashTime, U32Fixed,       U32,          0, 30, 19, AgentOnly) \
  X(vlanID,               Number,  kTlvVlanId,                 Small,           U16,          1, 2, 20, Settable)  \
  X(funBitmap0,           Number,  kTlvFunBitmap,              Bitmap,          None,         0, 0,  0, AgentOnly) \
  X(funBitmap1,           Number,  0,                          None,            None,         0, 0,  0, AgentOnly) \
  X(funBitmap2,           Number,  0,                          None,            None,         0, 0,  0, AgentOnly) \
  X(funBitmap3,           Number,  0,                          None,            None,         0, 0,  0, AgentOnly) \
  X(errString,            Text,    kTlvErrString,              Text,            None,         0, 0,  0, AgentOnly) \
  X(macAddr,              Mac,     0,                          None,            None,         0, 0,  0, Settable)  \
  X(isLoaderMode,         Number,  0,                          None,            None,         0, 0,  0, AgentOnly) \
  X(wifiEnable,           Number,  kTlvWifiEnable,             Small,           Byte,         1, 1, 26, Settable)  \
  X(wifiSSID,             Text,    kTlvWifiSsid,               Text,            Text,         1, 2, 27, Settable)  \
  X(wifiKey,              Text,    kTlvWifiKey,                Text,            Text,         1, 8, 29, Settable)  \
  X(wifiBand,             Text,    kTlvWifiBand,               Text,            Text,         1, 7, 25, Settable)  \
  X(wifiChannel,          Number,  kTlvWifiChannel,            Small,           Byte,         1, 4, 30, Settable)  \
  X(wifiCurrentChannel,   Number,  kTlvWifiCurrentChannel,     Small,           None,         0, 0,  0, Settable)  \
  X(wifiSecurity,         Text,    kTlvWifiSecurity,           Text,            Text,         1, 3, 28, Settable)  \
  X(radiusIP,             Address, kTlvRadiusIp,               AddressOrClear,  Address,      0, 2, 35, Settable)  \
  X(radiusPort,           Number,  kTlvRadiusPort,             SmallEmptyZero,  U16,          1, 2, 36, Settable)  \
  X(radiusSecret,         Text,    kTlvRadiusSecret,           Text,            Text,         1, 2, 37, Settable)  \
  X(wifi80211Mode,        Text,    kTlvWifi80211Mode,          Text,            Text,         1, 5, 31, Settable)  \
  X(wifiVisible,          Number,  kTlvWifiVisible,            Small,           Byte,         1, 6, 33, Settable)  \
  X(wifiSupportChannel,   Text,    kTlvWifiSupportChannel,     Text,            Text,         1, 2, 34, Settable)  \
  X(wifiChannelWidth,     Text,    kTlvWifiChannelWidth,       Text,            Text,         1, 2, 32, Settable)  \
  X(wifiSSIDIsolution,    Number,  kTlvWifiSsidIsolation,      Small,           Byte,         1, 2, 38, Settable)  \
  X(wifiVlanID,           Number,  kTlvWifiVlanId,             Small,           U16,          1, 2, 39, Settable)  \
  X(bandwidthControl,     Text,    kTlvBandwidthControl,       Text,            Text,         1, 9, 40, Settable)  \
  X(rssiScanner,          Text,    kTlvRssiScanner,            Text,            Text,         1, 9, 41, Settable)  \
  X(txPowerLevel,         Number,  kTlvTxPowerLevel,           Small,           Byte,         1, 9, 42, Settable)  \
  X(wifiEnable5G,         Number,  kTlvWifiEnable5G,           Small,           Byte,         1, 1, 43, Settable)  \
  X(wifiSSID5G,           Text,    kTlvWifiSsid5G,             Text,            Text,         1, 2, 44, Settable)  \
  X(wifiKey5G,            Text,    kTlvWifiKey5G,              Text,            Text,         1, 8, 46, Settable)  \
  X(wifiChannel5G,        Number,  kTlvWifiChannel5G,          Small,           Byte,         1, 4, 47, Settable)  \
  X(wifiCurrentChannel5G, Number,  kTlvWifiCurrentChannel5G,   Small,           None,         0, 0,  0, Settable)  \
  X(wifiSecurity5G,       Text,    kTlvWifiSecurity5G,         Text,            Text,         1, 3, 45, Settable)  \
  X(radiusIP5G,           Address, kTlvRadiusIp5G,             AddressOrClear,  Address,      0, 2, 52, Settable)  \
  X(radiusPort5G,         Number,  kTlvRadiusPort5G,           SmallEmptyKeeps, U16,          1, 2, 53, Settable)  \
  X(radiusSecret5G,       Text,    kTlvRadiusSecret5G,         Text,            Text,         1, 2, 54, Settable)  \
  X(wifi80211Mode5G,      Text,    kTlvWifi80211Mode5G,        Text,            Text,         1, 5, 48, Settable)  \
  X(wifiVisible5G,        Number,  kTlvWifiVisible5G,          Small,           Byte,         1, 6, 50, Settable)  \
  X(wifiSupportChannel5G, Text,    kTlvWifiSupportChannel5G,   Text,            Text,         1, 2, 51, Settable)  \
  X(wifiChannelWidth5G,   Text,    kTlvWifiChannelWidth5G,     Text,            Text,         1, 2, 49, Settable)  \
  X(wifiSSIDIsolution5G,  Number,  kTlvWifiSsidIsolation5G,    Small,           Byte,         1, 2, 55, Settable)  \
  X(wifiVlanID5G,         Number,  kTlvWifiVlanId5G,           Small,           U16,          1, 2, 56, Settable)  \
  X(bandwidthControl5G,   Text,    kTlvBandwidthControl5G,     Text,            Text,         1, 9, 57, Settable)  \
  X(rssiScanner5G,        Text,    kTlvRssiScanner5G,          Text,            Text,         1, 9, 58, Settable)  \
  X(txPowerLevel5G,       Number,  kTlvTxPowerLevel5G,         Small,           Byte,         1, 9, 59, Settable)  \
  X(fwDomain,             Text,    kTlvFwDomain,               Text,            Text,         1, 2, 60, Settable)  \
  X(wifiBandSteering,     Number,  kTlvWifiBandSteering,       Small,           Byte,         1, 2, 61, Settable)  \
  X(wifiRoaming,          Number,  kTlvWifiRoaming,            Small,           Byte,         1, 10, 62, Settable)

#define FERRO_RECORD_ONLY_FIELDS(X)                                                                  \
  X(trapMessage,          Text,    kTlvTrapMessage,            Text,            None,         0, 0,  0, AgentOnly)
// clang-format on

namespace ferro {

// What a field is as a SwitchInfo member.
enum class FieldShape : uint8_t {
  kText,     // text up to its NUL
  kName,     // wide text; the record keeps UTF-8 or the ANSI code page (kNameUtf8Flag)
  kAddress,  // 4 bytes in network order, dotted decimal as a member
  kNumber,   // an integer of the record's width
  kMac,      // 6 bytes, "XX-XX-XX-XX-XX-XX" as a member
};

// How the decoder stores an item's value.
enum class ItemRead : uint8_t {
  kNone,             // the item is skipped
  kText,             // value copied, NUL after it, cut to the width - 1
  kTrimmedText,      // as kText, trailing spaces removed
  kAddress,          // 4 bytes as they are; item always 8 bytes
  kU32Fixed,         // big-endian; item always 8 bytes
  kU32Sized,         // first 4 value bytes big-endian
  kU16Fixed,         // first 2 value bytes big-endian; item always 6 bytes
  kSmall,            // 1 byte, or the first 2 value bytes big-endian
  kSmallEmptyZero,   // as kSmall; an empty value gives 0
  kSmallEmptyKeeps,  // as kSmall; an empty value leaves the field alone
  kAddressOrClear,   // exactly 4 bytes copied, any other length clears the field
  kBitmap,           // four 32-bit words into funBitmap0..3; item always 20 bytes
};

// How a settings command writes a field.
enum class ItemWrite : uint8_t {
  kNone,          // never written
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

enum class FieldRole : uint8_t {
  kSettable,   // a caller may set it
  kAgentOnly,  // kept as the agent reported it
};

struct AgentField {
  const char* name;
  uint16_t offset;  // in AgentRecord
  uint16_t size;    // width in AgentRecord
  FieldShape shape;
  uint16_t tlv;  // 0: no item carries it
  ItemRead read;
  ItemWrite write;
  uint8_t word;  // funBitmap word and bit that select the written item
  uint8_t bit;
  uint8_t order;  // place among a settings command's items, from 1; 0: not written
  FieldRole role;
};

#define FERRO_AGENT_FIELD_ROW(name, shape, tlv, read, write, word, bit, order, role) \
  AgentField{#name,                                                                  \
             static_cast<uint16_t>(offsetof(AgentRecord, name)),                     \
             static_cast<uint16_t>(sizeof(AgentRecord::name)),                       \
             FieldShape::k##shape,                                                   \
             tlv,                                                                    \
             ItemRead::k##read,                                                      \
             ItemWrite::k##write,                                                    \
             word,                                                                   \
             bit,                                                                    \
             order,                                                                  \
             FieldRole::k##role},

// Every SwitchInfo member in contract order, then the record-only fields.
inline constexpr AgentField kAgentFields[] = {FERRO_SWITCHINFO_FIELDS(FERRO_AGENT_FIELD_ROW)
                                                  FERRO_RECORD_ONLY_FIELDS(FERRO_AGENT_FIELD_ROW)};

#undef FERRO_AGENT_FIELD_ROW

#define FERRO_AGENT_FIELD_ONE(...) +1
// The number of SwitchInfo members (the first rows of kAgentFields).
inline constexpr size_t kSwitchInfoFieldCount = 0 FERRO_SWITCHINFO_FIELDS(FERRO_AGENT_FIELD_ONE);
#undef FERRO_AGENT_FIELD_ONE

// The items of a settings command, in the order they are written: indices
// into kAgentFields.
inline constexpr size_t kSettingsItemCount = 62;
inline constexpr auto kSettingsItemOrder = [] {
  std::array<uint8_t, kSettingsItemCount> rows{};
  for (size_t i = 0; i < std::size(kAgentFields); ++i) {
    const AgentField& f = kAgentFields[i];
    if (f.order != 0) rows[f.order - 1] = static_cast<uint8_t>(i);
  }
  return rows;
}();

// The row of kAgentFields whose item has type `type`, for every type below
// kItemTypeLimit; -1 for a type no field takes.
inline constexpr size_t kItemTypeLimit = 256;
inline constexpr auto kRowOfItemType = [] {
  std::array<int16_t, kItemTypeLimit> rows{};
  rows.fill(-1);
  for (size_t i = 0; i < std::size(kAgentFields); ++i) {
    const uint16_t tlv = kAgentFields[i].tlv;
    if (tlv != 0 && kAgentFields[i].read != ItemRead::kNone) rows[tlv] = static_cast<int16_t>(i);
  }
  return rows;
}();

namespace field_checks {

// Each written item has one place, the places run from 1 without a gap, and
// a written item has a type and a selecting bit within the three words.
constexpr bool SettingsOrderIsAPermutation() {
  std::array<int, kSettingsItemCount + 1> seen{};
  size_t written = 0;
  for (const AgentField& f : kAgentFields) {
    if ((f.write == ItemWrite::kNone) != (f.order == 0)) return false;
    if (f.order == 0) continue;
    if (f.order > kSettingsItemCount || f.tlv == 0 || f.word > 2 || f.bit > 31) return false;
    if (++seen[f.order] != 1) return false;
    ++written;
  }
  return written == kSettingsItemCount;
}

// No two fields read the same item type, and every type fits the lookup.
constexpr bool ItemTypesAreDistinct() {
  for (size_t i = 0; i < std::size(kAgentFields); ++i) {
    if (kAgentFields[i].tlv >= kItemTypeLimit) return false;
    for (size_t j = i + 1; j < std::size(kAgentFields); ++j) {
      if (kAgentFields[i].tlv != 0 && kAgentFields[i].tlv == kAgentFields[j].tlv) return false;
    }
  }
  return true;
}

// The shapes agree with the record's widths and the item forms: names are
// 21-byte texts, addresses 4 bytes, numbers 2 or 4, the MAC 6; texts travel
// as text items, addresses as address items, 4-byte numbers as 32-bit items
// and 2-byte ones as smaller items; the bitmap item fills four consecutive
// words.
constexpr bool ShapesMatchWidths() {
  for (const AgentField& f : kAgentFields) {
    switch (f.shape) {
      case FieldShape::kText:
        break;
      case FieldShape::kName:
        if (f.size != 21) return false;
        break;
      case FieldShape::kAddress:
        if (f.size != 4) return false;
        break;
      case FieldShape::kNumber:
        if (f.size != 2 && f.size != 4) return false;
        break;
      case FieldShape::kMac:
        if (f.size != 6) return false;
        break;
    }
    if (f.read == ItemRead::kBitmap && f.offset != offsetof(AgentRecord, funBitmap0)) return false;
    const bool text = f.shape == FieldShape::kText || f.shape == FieldShape::kName;
    const bool textRead = f.read == ItemRead::kText || f.read == ItemRead::kTrimmedText;
    const bool textWrite = f.write == ItemWrite::kText || f.write == ItemWrite::kTextNotEmpty;
    const bool addressRead = f.read == ItemRead::kAddress || f.read == ItemRead::kAddressOrClear;
    const bool addressWrite = f.write == ItemWrite::kAddress || f.write == ItemWrite::kHostAddress;
    if (f.read != ItemRead::kNone && textRead != text) return false;
    if (f.write != ItemWrite::kNone && textWrite != text) return false;
    if (f.read != ItemRead::kNone && addressRead != (f.shape == FieldShape::kAddress)) return false;
    if (f.write != ItemWrite::kNone && addressWrite != (f.shape == FieldShape::kAddress)) {
      return false;
    }
    const bool wide = f.read == ItemRead::kU32Fixed || f.read == ItemRead::kU32Sized ||
                      f.write == ItemWrite::kU32 || f.write == ItemWrite::kU32Settable;
    if (f.shape == FieldShape::kNumber && f.read != ItemRead::kBitmap && wide != (f.size == 4) &&
        (f.read != ItemRead::kNone || f.write != ItemWrite::kNone)) {
      return false;
    }
  }
  return offsetof(AgentRecord, funBitmap3) == offsetof(AgentRecord, funBitmap0) + 12;
}

}  // namespace field_checks

static_assert(kSwitchInfoFieldCount == 77);
static_assert(field_checks::SettingsOrderIsAPermutation());
static_assert(field_checks::ItemTypesAreDistinct());
static_assert(field_checks::ShapesMatchWidths());

}  // namespace ferro
