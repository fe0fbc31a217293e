#pragma once
// The event history and the inventory as JSON, read-only except for
// forgetting one agent:
//   GET    /api/events?FILTERS     events, newest first unless asked
//   GET    /api/inventory[?offline=1]
//   DELETE /api/inventory?mac=MAC  forgets one agent
// The front only serves them; the answers come from providers that the
// program wires in (the front knows nothing of the store). Served to this
// machine (loopback) only, not to web pages of other origins, never cached;
// DELETE follows the same owner rule as the SOAP operations that change
// state.

#include <functional>
#include <string>
#include <string_view>

#include "platform/socket.h"
#include "request_parser.h"

namespace ferro {

inline constexpr std::string_view kEventsPath = "/api/events";
inline constexpr std::string_view kInventoryPath = "/api/inventory";

// An answer's status code and JSON body.
struct JsonAnswer {
  int status = 200;
  std::string json;
};

// Each gets the request's query string (after '?', as sent).
using EventsProvider = std::function<JsonAnswer(std::string_view query)>;
using InventoryProvider = std::function<JsonAnswer(std::string_view query)>;
using ForgetProvider = std::function<JsonAnswer(std::string_view query)>;
void SetHistoryProviders(EventsProvider events, InventoryProvider inventory, ForgetProvider forget);

// Whether the request's path is one of the paths above (any method).
bool IsHistoryRequest(const http::Request& request);

// The whole HTTP answer. `fd` is the connected socket (for the owner rule).
std::string HistoryAnswer(const http::Request& request, bool loopback, SocketHandle fd);

// The query string of a request line's target, or empty.
std::string_view RequestQuery(std::string_view request_line);

}  // namespace ferro
