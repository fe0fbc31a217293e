#include "service/unattended.h"

#include <cstdio>

#include "net/adapters.h"

namespace ferro {
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

void ApplySwitch(std::string_view text, std::string_view key, bool* value) {
  const std::optional<std::string_view> v = LineValue(text, key);
  if (!v) return;
  if (*v == "1" || *v == "0") {
    *value = *v == "1";
    return;
  }
  std::printf("define.ecf: %.*s%.*s is neither 1 nor 0; ignored\n", static_cast<int>(key.size()),
              key.data(), static_cast<int>(v->size()), v->data());
  std::fflush(stdout);
}

}  // namespace

void ApplyUnattendedOptions(std::string_view plainText, UnattendedOptions* options) {
  ApplySwitch(plainText, "engine_start=", &options->startEngine);
  ApplySwitch(plainText, "watched_list_keep=", &options->keepWatchedList);
  if (const std::optional<std::string_view> v = LineValue(plainText, "interfaces=")) {
    options->interfaces = SplitAdapterNames(*v);
  }
}

}  // namespace ferro
