#include "config/config_values.h"

#include <algorithm>

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

}  // namespace ferro
