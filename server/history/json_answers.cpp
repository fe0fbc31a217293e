#include "history/json_answers.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace ferro::history {
namespace {

using nlohmann::json;

// Stored texts may hold bytes that are not UTF-8 (a path, an agent's
// name): they are replaced, never refused.
std::string Dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

Answer Error(int status, const std::string& text) { return {status, Dump({{"error", text}})}; }

}  // namespace

Answer EventsAnswer(EventStore& store, std::string_view query) {
  EventQuery q;
  if (const auto error = ParseEventQuery(query, &q)) return Error(400, *error);
  std::vector<StoredEvent> events;
  int64_t newest = 0;
  std::string error;
  if (!store.Find(q, &events, &newest, &error)) return Error(503, error);
  json list = json::array();
  for (const StoredEvent& e : events) {
    json fields = json::parse(e.fields, nullptr, false);
    if (fields.is_discarded() || !fields.is_object()) fields = json::object();
    list.push_back({{"id", e.id},
                    {"time", FormatTime(e.time_ms)},
                    {"kind", e.kind},
                    {"mac", e.mac},
                    {"address", e.address},
                    {"text", e.text},
                    {"fields", std::move(fields)}});
  }
  return {200, Dump({{"events", std::move(list)}, {"newest_id", newest}, {"lost", store.lost()}})};
}

Answer InventoryAnswer(EventStore& store, std::string_view query,
                       const std::vector<std::string>& watched) {
  bool offline = false;
  if (!query.empty()) {
    const auto value = QueryParameter(query, "offline");
    if (!value || (*value != "1" && *value != "0") || query.find('&') != std::string_view::npos) {
      return Error(400, "the inventory takes only offline=1 or offline=0");
    }
    offline = *value == "1";
  }
  std::vector<InventoryAgent> agents;
  std::string error;
  if (!store.Agents(offline, &agents, &error)) return Error(503, error);
  json list = json::array();
  for (const InventoryAgent& a : agents) {
    list.push_back(
        {{"mac", a.mac},
         {"address", a.address},
         {"name", a.name},
         {"model", a.model},
         {"firmware", a.firmware},
         {"first_seen", FormatTime(a.first_seen_ms)},
         {"last_seen", FormatTime(a.last_seen_ms)},
         {"online", a.online},
         {"watched", std::find(watched.begin(), watched.end(), a.mac) != watched.end()}});
  }
  return {200, Dump({{"agents", std::move(list)}})};
}

Answer ForgetAnswer(EventStore& store, std::string_view query) {
  const auto text = QueryParameter(query, "mac");
  const auto mac = text ? ParseMac(*text) : std::nullopt;
  if (!mac) return Error(400, "mac=MAC is expected (six hex pairs joined by ':' or '-')");
  std::string error;
  if (!store.ForgetAgent(*mac, &error)) {
    if (!error.empty()) return Error(503, error);
    return Error(404, "no agent " + FormatMac(*mac) + " in the inventory");
  }
  return {200, Dump({{"forgotten", FormatMac(*mac)}})};
}

}  // namespace ferro::history
