#include "service/unattended.h"

#include "config/config_values.h"
#include "net/adapters.h"

namespace ferro {

void ApplyUnattendedOptions(std::string_view plainText, UnattendedOptions* options) {
  ApplySettingSwitch(plainText, "engine_start=", &options->startEngine);
  ApplySettingSwitch(plainText, "watched_list_keep=", &options->keepWatchedList);
  if (const std::optional<std::string_view> v = SettingLineValue(plainText, "interfaces=")) {
    options->interfaces = SplitAdapterNames(*v);
  }
}

}  // namespace ferro
