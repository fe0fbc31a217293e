#pragma once
// The engine's network settings as the rest of the server reads them: the
// magic cookie, the UDP ports, the multicast group and the two intervals.
// The file they come from (engine/engine_config.h) is read into these values
// when the engine starts; every layer that needs a setting (packet header,
// transport, engine) reads it here, without a lock: each value is a single
// aligned word, written only on the main thread.

#include <atomic>
#include <bit>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ferro {

inline constexpr uint16_t kDefaultDiscoveryPort = 0xFC01;  // 64513
inline constexpr uint32_t kDefaultMonitorIntervalMs = 15000;
inline constexpr uint32_t kDefaultIgmpIntervalMs = 120000;
// The shortest keep-alive interval honoured. The poll thread runs once a
// second, so a shorter interval polls no faster; and the same interval is
// the window in which an answer counts, so an interval of 0 (an empty value
// in the file, or 0 set through the service) would count every answer as
// missing and report every watched agent dead.
inline constexpr uint32_t kMinMonitorIntervalMs = 1000;

// An IPv4 address in network order, as it travels and as the system holds it.
constexpr uint32_t NetworkOrderAddress(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<uint32_t>(a) | static_cast<uint32_t>(b) << 8 |
           static_cast<uint32_t>(c) << 16 | static_cast<uint32_t>(d) << 24;
  } else {
    return static_cast<uint32_t>(a) << 24 | static_cast<uint32_t>(b) << 16 |
           static_cast<uint32_t>(c) << 8 | static_cast<uint32_t>(d);
  }
}
inline constexpr uint32_t kDefaultMulticastGroupValue = NetworkOrderAddress(239, 255, 255, 100);

// The values a configuration holds.
struct ConfigValues {
  uint32_t magicCookie = 0;
  uint16_t discoveryPort = kDefaultDiscoveryPort;
  uint32_t multicastGroup = kDefaultMulticastGroupValue;  // network order
  uint32_t monitorPollingIntervalMs = kDefaultMonitorIntervalMs;
  uint32_t igmpReportIntervalMs = kDefaultIgmpIntervalMs;
};
// The documented defaults: cookie 0, base port FC01, group 239.255.255.100,
// intervals 15 s and 120 s (a default-made ConfigValues).
ConfigValues DefaultConfigValues();

// The settings start with the documented defaults, so that an engine whose
// file is missing or damaged still binds its usual ports and sends to its
// usual group (all zero would bind random ports and send to port 0).
struct EngineConfig {
  // host order; stamped into every packet header
  std::atomic<uint32_t> magicCookie{0};
  // base UDP port: broadcast sockets' local port
  std::atomic<uint16_t> DiscoveryPort{kDefaultDiscoveryPort};
  // DiscoveryPort + 1: unicast sockets' local port
  std::atomic<uint16_t> CommandPort{kDefaultDiscoveryPort + 1};
  // DiscoveryPort + 2: destination of every request
  std::atomic<uint16_t> AgentPort{kDefaultDiscoveryPort + 2};
  // DiscoveryPort + 6: multicast sockets' local port
  std::atomic<uint16_t> GroupPort{kDefaultDiscoveryPort + 6};
  // IPv4, network order
  std::atomic<uint32_t> multicastGroup{kDefaultMulticastGroupValue};
  // as set; the keep-alive uses EffectiveMonitorIntervalMs()
  std::atomic<uint32_t> monitorPollingIntervalMs{kDefaultMonitorIntervalMs};
  std::atomic<uint32_t> igmpReportIntervalMs{kDefaultIgmpIntervalMs};
  // binding DiscoveryPort failed
  std::atomic<bool> PortInUse{false};
};

// The process-wide configuration: the defaults until a file is loaded.
EngineConfig& Config();

// Sets every value (the derived ports wrap in 16 bits); PortInUse is left alone.
void ApplyConfigValues(const ConfigValues& values);

// The keep-alive interval and answer window: the interval as set (and as
// reported), but at least kMinMonitorIntervalMs.
uint32_t EffectiveMonitorIntervalMs();

// The value after `key` at the start of a line of the settings file's
// plain text, up to the line's end; nothing when no line starts with it.
std::optional<std::string_view> SettingLineValue(std::string_view text, std::string_view key);

// A switch of the settings file (`key` then 1 or 0) into `value`; another
// value is logged and leaves `value` as it was, as does no such line.
void ApplySettingSwitch(std::string_view text, std::string_view key, bool* value);

}  // namespace ferro
