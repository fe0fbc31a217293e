#include "config_file.h"

#include <cstring>

namespace ferro {
namespace {

constexpr size_t kIsAliveOffset = kAgentRecordSize;
constexpr size_t kRecvFlagOffset = kAgentRecordSize + 4;

void PutInt32(uint8_t* at, int32_t value) {
  const auto v = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

int32_t GetInt32(const uint8_t* at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(at[i]) << (8 * i);
  return static_cast<int32_t>(v);
}

void ClearReserved(AgentRecord& record) {
  std::memset(record.reserved334, 0, sizeof record.reserved334);
  std::memset(record.reserved382, 0, sizeof record.reserved382);
  std::memset(record.reserved794, 0, sizeof record.reserved794);
}

}  // namespace

std::array<uint8_t, kConfigRecordSize> EncodeConfigRecord(const WatchedAgent& node) {
  std::array<uint8_t, kConfigRecordSize> bytes{};
  AgentRecord record = node.record;
  ClearReserved(record);
  // The record's memory layout is the stored layout (asserted with the
  // record), so it is written whole.
  std::memcpy(bytes.data(), &record, kAgentRecordSize);
  PutInt32(bytes.data() + kIsAliveOffset, node.isAlive);
  PutInt32(bytes.data() + kRecvFlagOffset, node.recvFlag);
  return bytes;
}

StoredAgent DecodeConfigRecord(const uint8_t* bytes) {
  StoredAgent agent;
  std::memcpy(&agent.record, bytes, kAgentRecordSize);
  ClearReserved(agent.record);
  agent.isAlive = GetInt32(bytes + kIsAliveOffset);
  agent.recvFlag = GetInt32(bytes + kRecvFlagOffset);
  return agent;
}

ConfigFileContents ParseConfigFile(std::string_view bytes) {
  ConfigFileContents contents;
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  const size_t whole = bytes.size() / kConfigRecordSize;
  contents.agents.reserve(whole);
  for (size_t i = 0; i < whole; ++i) {
    contents.agents.push_back(DecodeConfigRecord(data + i * kConfigRecordSize));
  }
  contents.partial = bytes.size() % kConfigRecordSize != 0;
  return contents;
}

std::string EncodeWatchedAgents() {
  std::string file;
  WatchedAgent node;
  for (size_t i = 0; GetWatchedAgent(i, node) != 0; ++i) {
    const auto record = EncodeConfigRecord(node);
    file.append(reinterpret_cast<const char*>(record.data()), record.size());
  }
  return file;
}

}  // namespace ferro
