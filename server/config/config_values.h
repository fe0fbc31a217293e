#pragma once
// The engine's network settings as the rest of the server reads them: the
// magic cookie, the UDP ports, the multicast group and the two intervals.
// The file they come from (engine/engine_config.h) is read into these values
// when the engine starts; every layer that needs a setting (packet header,
// transport, engine) reads it here, without a lock: each value is a single
// aligned word, written only on the main thread.

#include <atomic>
#include <cstdint>

namespace ferro {

inline constexpr uint16_t kDefaultDiscoveryPort = 0xFC01;  // 64513
inline constexpr char kDefaultMulticastGroup[] = "239.255.255.100";
inline constexpr uint32_t kDefaultMonitorIntervalMs = 15000;
inline constexpr uint32_t kDefaultIgmpIntervalMs = 120000;

// The values a configuration holds.
struct ConfigValues {
  uint32_t magicCookie = 0;
  uint16_t discoveryPort = kDefaultDiscoveryPort;
  uint32_t multicastGroup = 0;  // network order; see DefaultConfigValues()
  uint32_t monitorPollingIntervalMs = kDefaultMonitorIntervalMs;
  uint32_t igmpReportIntervalMs = kDefaultIgmpIntervalMs;
};
// The documented defaults: cookie 0, base port FC01, group 239.255.255.100,
// intervals 15 s and 120 s.
ConfigValues DefaultConfigValues();

struct EngineConfig {
  std::atomic<uint32_t> magicCookie{0};     // host order; stamped into every packet header
  std::atomic<uint16_t> DiscoveryPort{0};   // base UDP port: broadcast sockets' local port
  std::atomic<uint16_t> CommandPort{0};     // DiscoveryPort + 1: unicast sockets' local port
  std::atomic<uint16_t> AgentPort{0};       // DiscoveryPort + 2: destination of every request
  std::atomic<uint16_t> GroupPort{0};       // DiscoveryPort + 6: multicast sockets' local port
  std::atomic<uint32_t> multicastGroup{0};  // IPv4, network order
  std::atomic<uint32_t> monitorPollingIntervalMs{0};
  std::atomic<uint32_t> igmpReportIntervalMs{0};
  std::atomic<bool> PortInUse{false};  // binding DiscoveryPort failed
};

// The process-wide configuration (all zero until the first successful load).
EngineConfig& Config();

// Sets every value (the derived ports wrap in 16 bits); PortInUse is left alone.
void ApplyConfigValues(const ConfigValues& values);

}  // namespace ferro
