#include "config/config_values.h"

#include <algorithm>

#include "platform/diag.h"

namespace ferro {

ConfigValues DefaultConfigValues() { return ConfigValues{}; }

EngineConfig& Config() {
  static EngineConfig config;
  return config;
}

void ApplyConfigValues(const ConfigValues& v) {
  EngineConfig& c = Config();
  c.magicCookie = v.magicCookie;
  c.DiscoveryPort = v.discoveryPort;
  c.CommandPort = static_cast<uint16_t>(v.discoveryPort + 1);
  c.AgentPort = static_cast<uint16_t>(v.discoveryPort + 2);
  c.GroupPort = static_cast<uint16_t>(v.discoveryPort + 6);
  c.multicastGroup = v.multicastGroup;
  c.monitorPollingIntervalMs = v.monitorPollingIntervalMs;
  c.igmpReportIntervalMs = v.igmpReportIntervalMs;
}

uint32_t EffectiveMonitorIntervalMs() {
  return std::max(Config().monitorPollingIntervalMs.load(), kMinMonitorIntervalMs);
}

std::optional<std::string_view> SettingLineValue(std::string_view text, std::string_view key) {
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

void ApplySettingSwitch(std::string_view text, std::string_view key, bool* value) {
  const std::optional<std::string_view> v = SettingLineValue(text, key);
  if (!v) return;
  if (*v == "1" || *v == "0") {
    *value = *v == "1";
    return;
  }
  Diag("define.ecf: %.*s%.*s is neither 1 nor 0; ignored\n", static_cast<int>(key.size()),
       key.data(), static_cast<int>(v->size()), v->data());
}

}  // namespace ferro
