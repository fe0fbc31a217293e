// Fuzzes the agent packet decoder: any datagram must decode without reading
// outside it, leave every text field terminated, and survive re-encoding and
// the SwitchInfo conversions. One decode merged by the fields it carried
// must equal merging the datagram itself into a known record. Decoding what the encoder wrote must
// be well formed and give back every field it carries, as far as the item's form holds it (a byte
// item carries the low byte, a text what precedes its NUL).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "protocol/agent_decoder.h"
#include "protocol/agent_encoder.h"
#include "protocol/agent_fields.h"
#include "protocol/packet.h"
#include "service/switchinfo_convert.h"

namespace {

using namespace ferro;

std::string_view FieldText(const AgentRecord& r, const AgentField& f) {
  const char* text = reinterpret_cast<const char*>(&r) + f.offset;
  return {text, strnlen(text, f.size)};
}

uint32_t FieldNumber(const AgentRecord& r, const AgentField& f) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(&r) + f.offset;
  if (f.size == 2) {
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The field of `item` (one item the encoder wrote) is the same in `sent`
// and in `back`, as far as an item of `valueLength` bytes carries it.
bool SameAsSent(const AgentRecord& sent, const AgentRecord& back, const AgentField& f,
                size_t valueLength) {
  switch (f.shape) {
    case FieldShape::kText:
    case FieldShape::kName: {
      std::string_view want = FieldText(sent, f);
      if (f.read == ItemRead::kTrimmedText) {
        while (!want.empty() && want.back() == ' ') want.remove_suffix(1);
      }
      return FieldText(back, f) == want;
    }
    case FieldShape::kAddress:
    case FieldShape::kMac:
      return std::memcmp(reinterpret_cast<const uint8_t*>(&sent) + f.offset,
                         reinterpret_cast<const uint8_t*>(&back) + f.offset, f.size) == 0;
    case FieldShape::kNumber: {
      const uint32_t mask = valueLength == 1 ? 0xFFu : valueLength == 2 ? 0xFFFFu : 0xFFFFFFFFu;
      return (FieldNumber(sent, f) & mask) == FieldNumber(back, f);
    }
  }
  return false;
}

// The two records hold the same value in every field (a text up to its NUL).
bool SameFields(const AgentRecord& a, const AgentRecord& b) {
  for (const AgentField& f : kAgentFields) {
    const bool text = f.shape == FieldShape::kText || f.shape == FieldShape::kName;
    if (text ? FieldText(a, f) != FieldText(b, f)
             : std::memcmp(reinterpret_cast<const uint8_t*>(&a) + f.offset,
                           reinterpret_cast<const uint8_t*>(&b) + f.offset, f.size) != 0) {
      return false;
    }
  }
  return a.isLoaderMode == b.isLoaderMode && a.agentProtoVer == b.agentProtoVer &&
         a.agentInterfaceVer == b.agentInterfaceVer && a.agentFamilyType == b.agentFamilyType &&
         std::memcmp(a.macAddr, b.macAddr, sizeof a.macAddr) == 0;
}

// A known record with a value in every field, for merging into.
AgentRecord KnownRecord() {
  AgentRecord r = ZeroAgentRecord();
  auto* bytes = reinterpret_cast<uint8_t*>(&r);
  for (const AgentField& f : kAgentFields) {
    std::memset(bytes + f.offset, 'k', f.size);
    if (f.shape == FieldShape::kText || f.shape == FieldShape::kName)
      bytes[f.offset + f.size - 1] = 0;
  }
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxPacketSize) return -1;
  // An exact-size copy, so reading past the datagram is caught.
  uint8_t* packet = static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
  if (size > 0) std::memcpy(packet, data, size);
  AgentRecord record = ZeroAgentRecord();
  CarriedFields carried;
  const DecodeOutcome outcome = DecodeAgentPacket(packet, size, record, carried);
  if (outcome == DecodeOutcome::kOk) {
    AgentRecord merged = KnownRecord();
    if (MergeAgentPacket(packet, size, merged) != DecodeOutcome::kOk) std::abort();
    AgentRecord copied = KnownRecord();
    CopyCarriedFields(record, carried, copied);
    if (!SameFields(merged, copied)) std::abort();
  }
  std::free(packet);
  if (static_cast<size_t>(outcome) >= kDecodeOutcomeCount) std::abort();
  if ((outcome == DecodeOutcome::kTooShort) != (size < kPacketHeaderSize)) std::abort();

  if (std::memchr(record.systemName, 0, sizeof record.systemName) == nullptr) std::abort();
  if (std::memchr(record.trapMessage, 0, sizeof record.trapMessage) == nullptr) std::abort();
  if (record.isLoaderMode != 0 && record.isLoaderMode != 1) std::abort();

  uint8_t request[kMaxPacketSize] = {};
  BuildPacketHeader(kOpSetByMac, 0, request);
  const size_t n = EncodeAgentTlvs(record, kEncodeStatic, request);
  if (n > kMaxPacketSize - kPacketHeaderSize) std::abort();
  AgentRecord again = ZeroAgentRecord();
  if (DecodeAgentPacket(request, kPacketHeaderSize + n, again) != DecodeOutcome::kOk) std::abort();

  // Every item the encoder wrote, by its type: the decoded-again field
  // equals the first decode's.
  for (size_t pos = kPacketHeaderSize; pos < kPacketHeaderSize + n;) {
    const uint16_t type = LoadBe16(request + pos);
    const uint16_t itemLength = LoadBe16(request + pos + 2);
    if (itemLength < kTlvHeaderSize) std::abort();
    const int16_t row = type < kItemTypeLimit ? kRowOfItemType[type] : -1;
    if (row >= 0 && !SameAsSent(record, again, kAgentFields[row], itemLength - kTlvHeaderSize)) {
      std::abort();
    }
    pos += itemLength;
  }

  ns__SwitchInfo info;
  AgentRecordToSwitchInfo(record, info);
  AgentRecord back;
  SwitchInfoToAgentRecord(info, back);
  if (std::memcmp(back.macAddr, record.macAddr, sizeof back.macAddr) != 0) std::abort();
  return 0;
}
