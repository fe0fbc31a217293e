#pragma once
// The engine's network settings, read from cfg/define.ecf when the engine
// starts. Engine threads read these values without a lock: each is a single
// aligned word, written only on the main thread.

#include <atomic>
#include <cstdint>

namespace ferro {

struct EngineConfig {
  std::atomic<uint32_t> magicCookie{0};      // host order; stamped into every packet header
  std::atomic<uint16_t> DiscoveryPort{0};    // base UDP port: broadcast sockets' local port
  std::atomic<uint16_t> CommandPort{0};      // DiscoveryPort + 1: unicast sockets' local port
  std::atomic<uint16_t> AgentPort{0};        // DiscoveryPort + 2: destination of every request
  std::atomic<uint16_t> GroupPort{0};        // DiscoveryPort + 6: multicast sockets' local port
  std::atomic<uint32_t> multicastGroup{0};   // IPv4, network order
  std::atomic<uint32_t> monitorPollingIntervalMs{0};
  std::atomic<uint32_t> igmpReportIntervalMs{0};
  std::atomic<bool> PortInUse{false};        // binding DiscoveryPort failed
};

// The process-wide configuration (all zero until the first successful load).
EngineConfig& Config();

}  // namespace ferro
