#pragma once
// The filters of GET /api/events, read from the request's query string:
//   after=ID before=ID since=T until=T mac=MAC kind=K1,K2 limit=N order=asc|desc
// every one optional. T is RFC 3339 UTC ("2026-12-09T20:40:00Z", fractional
// seconds allowed) or whole seconds since the epoch; MAC is six hex pairs
// joined by ':' or '-', any case.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferro::history {

inline constexpr int kDefaultQueryLimit = 100;
inline constexpr int kMaxQueryLimit = 1000;

// The kinds of event, as stored and as clients name them.
inline constexpr std::string_view kEventKinds[] = {
    "trap",          "agent_dead",   "agent_alive", "set_started", "set_outcome",
    "upload_queued", "upload_state", "upload_end",  "discovery",   "server_start",
    "server_stop",   "list_load",    "list_save"};
bool IsEventKind(std::string_view kind);

using Mac = std::array<uint8_t, 6>;

struct EventQuery {
  std::optional<int64_t> after;     // ids greater than this
  std::optional<int64_t> before;    // ids smaller than this
  std::optional<int64_t> since_ms;  // times at or after this (ms since the epoch)
  std::optional<int64_t> until_ms;  // times at or before this
  std::optional<Mac> mac;
  std::vector<std::string> kinds;  // empty: every kind; each named once
  int limit = kDefaultQueryLimit;
  bool ascending = false;  // newest first unless asked
};

// Reads `query` (the part after '?', percent-encoded); on a bad parameter,
// a one-line reason. Unknown parameters are refused too, so that a typo does
// not silently widen a filter.
std::optional<std::string> ParseEventQuery(std::string_view query, EventQuery* out);

// "00:11:22:aa:bb:cc" or with '-', any case: the six bytes; nothing otherwise.
std::optional<Mac> ParseMac(std::string_view text);
// Six lower-case hex pairs joined by ':' (the stored form).
std::string FormatMac(const Mac& mac);

// RFC 3339 in UTC ('Z' or an offset) with optional fraction, or integer
// seconds since the epoch: milliseconds since the epoch.
std::optional<int64_t> ParseTime(std::string_view text);
// "2026-12-09T20:40:00.123Z".
std::string FormatTime(int64_t ms);

// The value of one parameter of a query string (the first), percent-decoded.
std::optional<std::string> QueryParameter(std::string_view query, std::string_view name);

}  // namespace ferro::history
