#include "history/store_options.h"

#include <charconv>
#include <limits>

#include "config/config_values.h"
#include "platform/diag.h"

namespace ferro::history {

bool ParseCount(std::string_view text, uint64_t* out) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  *out = v;
  return true;
}

void ApplyStoreOptions(std::string_view plain_text, StoreOptions* options) {
  if (auto v = SettingLineValue(plain_text, "event_database=")) {
    if (!v->empty()) options->path = std::string(*v);
  }
  uint64_t n = 0;
  if (auto v = SettingLineValue(plain_text, "event_max_count=")) {
    if (ParseCount(*v, &n)) {
      options->max_events = n;
    } else {
      Diag("define.ecf: event_max_count=%.*s is no count; kept %llu\n", static_cast<int>(v->size()),
           v->data(), static_cast<unsigned long long>(options->max_events));
    }
  }
  if (auto v = SettingLineValue(plain_text, "event_max_days=")) {
    if (ParseCount(*v, &n) && n <= std::numeric_limits<uint32_t>::max()) {
      options->max_days = static_cast<uint32_t>(n);
    } else {
      Diag("define.ecf: event_max_days=%.*s is no count of days; kept %u\n",
           static_cast<int>(v->size()), v->data(), options->max_days);
    }
  }
  ApplySettingSwitch(plain_text, "event_syslog=", &options->syslog);
}

}  // namespace ferro::history
