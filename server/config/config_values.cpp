#include "config/config_values.h"

#include <arpa/inet.h>

namespace ferro {

ConfigValues DefaultConfigValues() {
  ConfigValues v;
  in_addr addr{};
  inet_aton(kDefaultMulticastGroup, &addr);
  v.multicastGroup = addr.s_addr;
  return v;
}

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

}  // namespace ferro
