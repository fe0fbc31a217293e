#include "engine/events.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/text.h"
#include "protocol/agent_fields.h"

namespace ferro {
namespace {

std::atomic<EventSink> g_events{nullptr};
std::atomic<AgentNoteSink> g_notes{nullptr};
std::atomic<void (*)(const char*)> g_stopHook{nullptr};

bool IsSecret(std::string_view name) {
  for (std::string_view s : {"assword", "asseord", "Key", "Secret", "enkey"}) {
    if (name.find(s) != std::string_view::npos) return true;
  }
  return false;
}

}  // namespace

std::string RecordText(const char* p, size_t size) {
  const size_t n = strnlen(p, size);
  std::string out;
  size_t i = 0;
  while (i < n) {
    const auto c = static_cast<unsigned char>(p[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    // A well-formed multi-byte sequence stays as it is.
    const size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    bool ok = len != 0 && i + len <= n && c <= 0xF4;
    for (size_t k = 1; ok && k < len; ++k) {
      ok = (static_cast<unsigned char>(p[i + k]) & 0xC0) == 0x80;
    }
    if (ok) {
      out.append(p + i, len);
      i += len;
    } else {
      AppendUtf8(out, xml::Windows1252ToUnicode(c));
      ++i;
    }
  }
  return out;
}

void SetEventSinks(EventSink events, AgentNoteSink notes) {
  g_events.store(events);
  g_notes.store(notes);
}

bool EventsWanted() { return g_events.load() != nullptr; }

void EmitEvent(EngineEvent&& event) {
  if (const EventSink sink = g_events.load()) sink(std::move(event));
}

void EmitAgentNote(AgentNote&& note) {
  if (const AgentNoteSink sink = g_notes.load()) sink(std::move(note));
}

void SetServerStopHook(void (*hook)(const char* why)) { g_stopHook.store(hook); }

void ServerStopping(const char* why) {
  if (auto hook = g_stopHook.exchange(nullptr)) hook(why);
}

std::array<uint8_t, kMacSize> MacOf(const uint8_t* mac) {
  std::array<uint8_t, kMacSize> out{};
  std::memcpy(out.data(), mac, kMacSize);
  return out;
}

std::string AddressText(const uint8_t* a) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
  return text;
}

std::string FieldText(const AgentRecord& record, size_t row) {
  const AgentField& f = kAgentFields[row];
  if (IsSecret(f.name)) return "***";
  const auto* base = reinterpret_cast<const uint8_t*>(&record) + f.offset;
  switch (f.shape) {
    case FieldShape::kText:
    case FieldShape::kName:
      return RecordText(reinterpret_cast<const char*>(base), f.size);
    case FieldShape::kAddress:
      return AddressText(base);
    case FieldShape::kMac: {
      char text[18];
      std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", base[0], base[1], base[2],
                    base[3], base[4], base[5]);
      return text;
    }
    case FieldShape::kNumber: {
      uint32_t v = 0;
      if (f.size == 1) {
        v = base[0];
      } else if (f.size == 2) {
        uint16_t x;
        std::memcpy(&x, base, 2);
        v = x;
      } else {
        std::memcpy(&v, base, 4);
      }
      return std::to_string(v);
    }
  }
  return {};
}

nlohmann::json ChangedFields(const AgentRecord& before, const AgentRecord& after) {
  nlohmann::json changes = nlohmann::json::array();
  for (size_t row = 0; row < std::size(kAgentFields); ++row) {
    const AgentField& f = kAgentFields[row];
    if (f.role != FieldRole::kSettable) continue;
    const auto* a = reinterpret_cast<const uint8_t*>(&before) + f.offset;
    const auto* b = reinterpret_cast<const uint8_t*>(&after) + f.offset;
    const bool text = f.shape == FieldShape::kText || f.shape == FieldShape::kName;
    const bool same = text ? strncmp(reinterpret_cast<const char*>(a),
                                     reinterpret_cast<const char*>(b), f.size) == 0
                           : std::memcmp(a, b, f.size) == 0;
    if (same) continue;
    // A new password is only ever sent: it says nothing as a change.
    if (IsSecret(f.name) && strnlen(reinterpret_cast<const char*>(b), f.size) == 0) continue;
    changes.push_back(
        {{"field", f.name}, {"old", FieldText(before, row)}, {"new", FieldText(after, row)}});
  }
  return changes;
}

AgentNote AnsweredNote(const uint8_t* mac, const AgentRecord* record, uint32_t source_address) {
  AgentNote note;
  note.what = AgentNote::What::kAnswered;
  note.mac = MacOf(mac);
  uint8_t source[4];
  std::memcpy(source, &source_address, sizeof source);
  if (record != nullptr) {
    note.hasRecord = true;
    const bool zero = std::all_of(std::begin(record->agentIpAddr), std::end(record->agentIpAddr),
                                  [](uint8_t b) { return b == 0; });
    note.address = AddressText(zero ? source : record->agentIpAddr);
    note.name = RecordText(record->systemName, sizeof record->systemName);
    note.model = RecordText(record->productName, sizeof record->productName);
    note.firmware = RecordText(record->fwVersion, sizeof record->fwVersion);
  } else if (source_address != 0) {
    note.address = AddressText(source);
  }
  return note;
}

}  // namespace ferro
