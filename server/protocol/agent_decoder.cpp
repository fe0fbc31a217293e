#include "protocol/agent_decoder.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "protocol/agent_fields.h"
#include "protocol/packet.h"

namespace ferro {
namespace {

// Bytes of the item that the class takes, whatever the length field says
// for the fixed classes.
size_t ItemSize(ItemRead read, size_t lengthField) {
  switch (read) {
    case ItemRead::kAddress:
    case ItemRead::kU32Fixed:
      return 8;
    case ItemRead::kU16Fixed:
      return 6;
    case ItemRead::kBitmap:
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

// Stores one item's value; false when it left the field as it was.
bool StoreItem(ItemRead read, size_t width, const uint8_t* value, size_t valueLength,
               uint8_t* field) {
  switch (read) {
    case ItemRead::kNone:
      return false;
    case ItemRead::kText:
    case ItemRead::kTrimmedText: {
      size_t n = std::min(valueLength, width - 1);
      if (read == ItemRead::kTrimmedText) {
        while (n > 0 && value[n - 1] == ' ') --n;
      }
      std::memcpy(field, value, n);
      field[n] = 0;
      break;
    }
    case ItemRead::kAddress:
      std::memcpy(field, value, 4);
      break;
    case ItemRead::kU32Fixed:
    case ItemRead::kU32Sized:
      StoreU32(field, ValueBe(value, valueLength, 4));
      break;
    case ItemRead::kU16Fixed:
      StoreU16(field, ValueBe(value, valueLength, 2));
      break;
    case ItemRead::kSmall:
      StoreU16(field, SmallValue(value, valueLength));
      break;
    case ItemRead::kSmallEmptyZero:
      StoreU16(field, valueLength == 0 ? 0 : SmallValue(value, valueLength));
      break;
    case ItemRead::kSmallEmptyKeeps:
      if (valueLength == 0) return false;
      StoreU16(field, SmallValue(value, valueLength));
      break;
    case ItemRead::kAddressOrClear:
      if (valueLength == 4) {
        std::memcpy(field, value, 4);
      } else {
        std::memset(field, 0, 4);
      }
      break;
    case ItemRead::kBitmap:
      for (size_t i = 0; i < 4; ++i) StoreU32(field + 4 * i, LoadBe32(value + 4 * i));
      break;
  }
  return true;
}

// Counts of the malformed outcomes, by reason (index 0, kOk, unused).
std::atomic<uint64_t> g_malformed[kDecodeOutcomeCount];

DecodeOutcome Counted(DecodeOutcome outcome) {
  if (outcome != DecodeOutcome::kOk) {
    g_malformed[static_cast<size_t>(outcome)].fetch_add(1, std::memory_order_relaxed);
  }
  return outcome;
}

// Takes the header-derived fields and every item of the datagram into
// `record`; the three modes are reset to "absent" first only when
// `resetModes` is set. Marks in `carried` (when given) the rows set.
DecodeOutcome Decode(const uint8_t* packet, size_t length, AgentRecord& record, bool resetModes,
                     CarriedFields* carried = nullptr) {
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

  if (packet == nullptr || length < kPacketHeaderSize) return DecodeOutcome::kTooShort;
  auto* base = reinterpret_cast<uint8_t*>(&record);
  size_t pos = kPacketHeaderSize;
  while (pos < length) {
    if (length - pos < kTlvHeaderSize) return DecodeOutcome::kItemOverrun;
    const uint16_t type = LoadBe16(packet + pos);
    const uint16_t lengthField = LoadBe16(packet + pos + 2);
    const int16_t row = type < kItemTypeLimit ? kRowOfItemType[type] : -1;
    const AgentField* field = row < 0 ? nullptr : &kAgentFields[row];
    const ItemRead read = field == nullptr ? ItemRead::kNone : field->read;
    const size_t size = ItemSize(read, lengthField);
    // A size below the item's own header cannot move on; only items whose
    // size comes from their length field can have one. Fixed-size items are
    // taken at their size whatever their length field says.
    if (size < kTlvHeaderSize) return DecodeOutcome::kBadLength;
    if (size > length - pos) return DecodeOutcome::kItemOverrun;
    if (field != nullptr &&
        StoreItem(read, field->size, packet + pos + kTlvHeaderSize, size - kTlvHeaderSize,
                  base + field->offset) &&
        carried != nullptr) {
      carried->set(static_cast<size_t>(row));
    }
    pos += size;
  }
  return DecodeOutcome::kOk;
}

}  // namespace

DecodeOutcome DecodeAgentPacket(const uint8_t* packet, size_t length, AgentRecord& record) {
  return Counted(Decode(packet, length, record, true));
}

DecodeOutcome DecodeAgentPacket(const uint8_t* packet, size_t length, AgentRecord& record,
                                CarriedFields& carried) {
  carried.reset();
  return Counted(Decode(packet, length, record, true, &carried));
}

DecodeOutcome MergeAgentPacket(const uint8_t* packet, size_t length, AgentRecord& record) {
  return Counted(Decode(packet, length, record, false));
}

void CopyCarriedFields(const AgentRecord& from, const CarriedFields& carried, AgentRecord& to) {
  to.agentProtoVer = from.agentProtoVer;
  to.agentInterfaceVer = from.agentInterfaceVer;
  to.agentFamilyType = from.agentFamilyType;
  std::memcpy(to.macAddr, from.macAddr, kMacSize);
  to.isLoaderMode = from.isLoaderMode;
  const auto* source = reinterpret_cast<const uint8_t*>(&from);
  auto* target = reinterpret_cast<uint8_t*>(&to);
  for (size_t row = 0; row < carried.size(); ++row) {
    if (!carried.test(row)) continue;
    const AgentField& f = kAgentFields[row];
    // The function bitmap's one item fills the four words funBitmap0..3.
    const size_t bytes = f.read == ItemRead::kBitmap ? 4 * sizeof to.funBitmap0 : f.size;
    std::memcpy(target + f.offset, source + f.offset, bytes);
  }
}

const char* DecodeOutcomeName(DecodeOutcome outcome) {
  switch (outcome) {
    case DecodeOutcome::kOk:
      return "ok";
    case DecodeOutcome::kTooShort:
      return "shorter than the header";
    case DecodeOutcome::kItemOverrun:
      return "item runs past the datagram";
    case DecodeOutcome::kBadLength:
      return "item length below its header";
  }
  return "unknown";
}

uint64_t MalformedPacketCount(DecodeOutcome reason) {
  const auto i = static_cast<size_t>(reason);
  return i == 0 || i >= kDecodeOutcomeCount ? 0 : g_malformed[i].load(std::memory_order_relaxed);
}

uint64_t MalformedPacketTotal() {
  uint64_t total = 0;
  for (size_t i = 1; i < kDecodeOutcomeCount; ++i) {
    total += g_malformed[i].load(std::memory_order_relaxed);
  }
  return total;
}

}  // namespace ferro
