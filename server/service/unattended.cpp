#include "service/unattended.h"

#include <cstdio>

#include "config/config_values.h"
#include "net/adapters.h"

namespace ferro {
namespace {

void ApplySwitch(std::string_view text, std::string_view key, bool* value) {
  const std::optional<std::string_view> v = SettingLineValue(text, key);
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
  if (const std::optional<std::string_view> v = SettingLineValue(plainText, "interfaces=")) {
    options->interfaces = SplitAdapterNames(*v);
  }
}

}  // namespace ferro
