#include "protocol/agent_encoder.h"

#include <cstring>

#include "protocol/agent_fields.h"
#include "protocol/packet.h"
#include "protocol/tlv.h"

namespace ferro {
namespace {

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

bool Selected(const AgentRecord& r, const AgentField& item) {
  const uint32_t words[] = {r.funBitmap0, r.funBitmap1, r.funBitmap2};
  return (words[item.word] >> item.bit) & 1u;
}

void WriteItem(const AgentRecord& r, const AgentField& item, int kind, TlvWriter& out) {
  const auto* field = reinterpret_cast<const uint8_t*>(&r) + item.offset;
  const auto* text = reinterpret_cast<const char*>(field);
  static constexpr uint8_t kZeroAddress[4] = {};
  switch (item.write) {
    case ItemWrite::kNone:
      break;
    case ItemWrite::kText:
      out.PutText(item.tlv, text, item.size);
      break;
    case ItemWrite::kTextNotEmpty:
      if (text[0] != '\0') out.PutText(item.tlv, text, item.size);
      break;
    case ItemWrite::kAddress:
      out.PutAddress(item.tlv, field);
      break;
    case ItemWrite::kHostAddress:
      out.PutAddress(item.tlv, kind == kEncodeDhcp ? kZeroAddress : field);
      break;
    case ItemWrite::kU32:
      out.PutU32(item.tlv, FieldU32(field));
      break;
    case ItemWrite::kU32Settable:
      if (FieldU32(field) != kGroupTimerUnchanged) out.PutU32(item.tlv, FieldU32(field));
      break;
    case ItemWrite::kU16:
      out.PutU16(item.tlv, FieldU16(field));
      break;
    case ItemWrite::kMode:
      if (FieldU16(field) != kModeUnchanged) out.PutU16(item.tlv, FieldU16(field));
      break;
    case ItemWrite::kDhcpMode:
      if (FieldU16(field) == kModeUnchanged) break;
      if (r.agentInterfaceVer == 1) {
        out.PutU8(item.tlv, static_cast<uint8_t>(FieldU16(field)));
      } else {
        out.PutU16(item.tlv, FieldU16(field));
      }
      break;
    case ItemWrite::kByte:
      out.PutU8(item.tlv, static_cast<uint8_t>(FieldU16(field)));
      break;
  }
}

}  // namespace

size_t EncodeAgentTlvs(const AgentRecord& record, int kind, uint8_t* packet) {
  if (packet == nullptr) return 0;
  // The largest possible body (every item, every text full) is 1358 bytes,
  // so the writer's capacity check never drops an item here.
  TlvWriter out(packet);
  for (const uint8_t row : kSettingsItemOrder) {
    const AgentField& item = kAgentFields[row];
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
