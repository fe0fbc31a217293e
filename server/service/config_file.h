#pragma once
// Saved device lists: a file of fixed-size records, one per watched agent,
// with no header, trailer or check sum. Each record is the agent's 1600-byte
// AgentRecord (its reserved bytes zero), then isAlive and recvFlag as
// little-endian 32-bit integers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/monitoring.h"
#include "protocol/agent_record.h"

namespace ferro {

inline constexpr size_t kConfigRecordSize = 1608;
// Larger files are refused rather than read: far more agents than one
// utility watches, and a bound on what one request may load into memory.
inline constexpr size_t kMaxConfigRecords = 16384;

struct StoredAgent {
  AgentRecord record{};
  int32_t isAlive = 0;
  int32_t recvFlag = 0;
};

std::array<uint8_t, kConfigRecordSize> EncodeConfigRecord(const WatchedAgent& node);
// `bytes` holds kConfigRecordSize bytes. The reserved bytes read as zero.
StoredAgent DecodeConfigRecord(const uint8_t* bytes);

struct ConfigFileContents {
  std::vector<StoredAgent> agents;  // every whole record, in file order
  bool partial = false;             // bytes were left over after the last whole record
};
ConfigFileContents ParseConfigFile(std::string_view bytes);

// The whole file for the watched agents, fetched position by position.
std::string EncodeWatchedAgents();

}  // namespace ferro
