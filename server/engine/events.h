#pragma once
// What the engine and the service tell the event history: traps, agents
// going dead and alive, device-set operations and their outcomes, uploads,
// discovery runs, and what each reply says about an agent (its last-seen
// time). Like the notices, they only describe; the server installs the
// sink that keeps them, so the engine knows nothing of the store. Emitting
// is cheap (the sink only queues) and safe under any engine lock.

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/agent_record.h"
#include "protocol/packet.h"

namespace ferro {

struct EngineEvent {
  std::string_view kind;  // one of the fixed kind names (a literal)
  std::optional<std::array<uint8_t, kMacSize>> mac;
  std::string address;  // dotted decimal, or empty
  std::string text;     // one short line for people
  nlohmann::json fields = nlohmann::json::object();
};

// What a reply or a silence says about an agent, for the inventory.
struct AgentNote {
  enum class What {
    kAnswered,        // it replied: last seen now, online
    kSilent,          // it stopped answering the keep-alive: offline
    kDiscoveryEnded,  // a run ended: agents not seen since `startedMs` are offline
  };
  What what = What::kAnswered;
  std::array<uint8_t, kMacSize> mac{};
  bool hasRecord = false;  // the texts below come from a decoded record
  std::string address, name, model, firmware;
  int64_t startedMs = 0;  // kDiscoveryEnded: wall-clock start of the run
};

using EventSink = void (*)(EngineEvent&& event);
using AgentNoteSink = void (*)(AgentNote&& note);

// Installs the sinks (nullptr: dropped).
void SetEventSinks(EventSink events, AgentNoteSink notes);
// Whether an event sink is installed: callers skip building events without one.
bool EventsWanted();
void EmitEvent(EngineEvent&& event);
void EmitAgentNote(AgentNote&& note);

// What runs when the server is about to end (the event "server_stop", the
// history's last writes); installed by the server, run by each way out.
void SetServerStopHook(void (*hook)(const char* why));
void ServerStopping(const char* why);

// Helpers for building events.
std::array<uint8_t, kMacSize> MacOf(const uint8_t* mac);
std::string AddressText(const uint8_t* address);  // 4 bytes, network order
// A record's NUL-terminated text of at most `size` bytes as UTF-8: bytes
// that are not well-formed UTF-8 are read as the code page (names not
// flagged as UTF-8 are kept in it), so an event never holds text that a
// JSON reader refuses.
std::string RecordText(const char* text, size_t size);
// A field of the record as text: numbers in decimal, addresses dotted, MACs
// as six pairs, texts as they are. Secrets (passwords, keys) read "***".
std::string FieldText(const AgentRecord& record, size_t field_row);
// The settable fields whose values differ, old -> new, as
// [{"field":..,"old":..,"new":..}].
nlohmann::json ChangedFields(const AgentRecord& before, const AgentRecord& after);
// An answered note from a decoded record.
AgentNote AnsweredNote(const uint8_t* mac, const AgentRecord* record, uint32_t source_address);

}  // namespace ferro
