// Fuzzes the query string of GET /api/events and the store options of
// define.ecf: any input is read without fault; a query that is accepted
// holds values within their bounds, and its times and MAC read back the same
// once written the way the server writes them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "history/event_query.h"
#include "history/store_options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ferro::history;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  EventQuery q;
  if (!ParseEventQuery(text, &q)) {
    if (q.limit < 1 || q.limit > kMaxQueryLimit) std::abort();
    if ((q.after && *q.after < 0) || (q.before && *q.before < 0)) std::abort();
    for (const auto& kind : q.kinds) {
      if (!IsEventKind(kind)) std::abort();
    }
    for (const auto& t : {q.since_ms, q.until_ms}) {
      if (t && (*t < 0 || ParseTime(FormatTime(*t)) != *t)) std::abort();
    }
    if (q.mac && ParseMac(FormatMac(*q.mac)) != q.mac) std::abort();
  }
  ParseTime(text);
  ParseMac(text);
  QueryParameter(text, "mac");
  StoreOptions options;
  ApplyStoreOptions(text, &options);
  return 0;
}
