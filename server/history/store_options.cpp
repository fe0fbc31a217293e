#include "history/store_options.h"

#include <charconv>
#include <limits>

#include "platform/diag.h"

namespace ferro::history {
namespace {

// The value after `key` at the start of a line, up to the line's end.
std::optional<std::string_view> LineValue(std::string_view text, std::string_view key) {
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find_first_of("\r\n", at);
    const std::string_view line = text.substr(at, end == std::string_view::npos ? end : end - at);
    if (line.substr(0, key.size()) == key) return line.substr(key.size());
    if (end == std::string_view::npos) break;
    at = end + 1;
  }
  return std::nullopt;
}

}  // namespace

bool ParseCount(std::string_view text, uint64_t* out) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  *out = v;
  return true;
}

void ApplyStoreOptions(std::string_view plain_text, StoreOptions* options) {
  if (auto v = LineValue(plain_text, "event_database=")) {
    if (!v->empty()) options->path = std::string(*v);
  }
  uint64_t n = 0;
  if (auto v = LineValue(plain_text, "event_max_count=")) {
    if (ParseCount(*v, &n)) {
      options->max_events = n;
    } else {
      Diag("define.ecf: event_max_count=%.*s is no count; kept %llu\n", static_cast<int>(v->size()),
           v->data(), static_cast<unsigned long long>(options->max_events));
    }
  }
  if (auto v = LineValue(plain_text, "event_max_days=")) {
    if (ParseCount(*v, &n) && n <= std::numeric_limits<uint32_t>::max()) {
      options->max_days = static_cast<uint32_t>(n);
    } else {
      Diag("define.ecf: event_max_days=%.*s is no count of days; kept %u\n",
           static_cast<int>(v->size()), v->data(), options->max_days);
    }
  }
  if (auto v = LineValue(plain_text, "event_syslog=")) {
    if (*v == "1" || *v == "0") {
      options->syslog = *v == "1";
    } else {
      Diag("define.ecf: event_syslog=%.*s is neither 1 nor 0; ignored\n",
           static_cast<int>(v->size()), v->data());
    }
  }
}

}  // namespace ferro::history
