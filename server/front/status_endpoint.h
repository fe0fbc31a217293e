#pragma once
// GET /api/status: a small read-only summary of the server's state as JSON,
// for the page's header and counts. The front only serves it; what it holds
// comes from a provider that the program wires in (the front knows nothing
// of the engine). Served to this machine (loopback) only, and not to web
// pages of other origins.

#include <functional>
#include <string>
#include <string_view>

#include "request_parser.h"

namespace ferro {

inline constexpr std::string_view kStatusPath = "/api/status";

// Makes the JSON object of an answer; called on the front's thread for each
// request, so it must be quick.
using StatusProvider = std::function<std::string()>;
void SetStatusProvider(StatusProvider provider);

// Whether `request` asks for the status (a GET of kStatusPath, any query aside).
bool IsStatusRequest(const http::Request& request);

// The whole HTTP answer to a status request from a peer that is on this
// machine (`loopback`) or not: 200 with the provider's JSON, 403 for another
// host or a foreign page, 503 while no provider is set. Never cached.
std::string StatusAnswer(const http::Request& request, bool loopback);

}  // namespace ferro
