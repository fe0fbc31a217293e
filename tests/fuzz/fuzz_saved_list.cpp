// Fuzzes the saved device list reader: any file content must split into
// whole records plus a noticed remainder, and every record must survive the
// SwitchInfo conversions and write back within its 1608 bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "service/config_file.h"
#include "service/switchinfo_convert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ferro;
  if (size > 8 * kConfigRecordSize) return -1;
  const ConfigFileContents contents =
      ParseConfigFile(std::string_view(reinterpret_cast<const char*>(data), size));
  if (contents.agents.size() != size / kConfigRecordSize) std::abort();
  if (contents.partial != (size % kConfigRecordSize != 0)) std::abort();

  for (size_t i = 0; i < contents.agents.size(); ++i) {
    const StoredAgent& stored = contents.agents[i];
    // Reading and writing back gives the same bytes, reserved bytes zeroed.
    WatchedAgent node;
    node.record = stored.record;
    node.isAlive = stored.isAlive;
    node.recvFlag = stored.recvFlag;
    const auto bytes = EncodeConfigRecord(node);
    const uint8_t* original = data + i * kConfigRecordSize;
    for (size_t b = 0; b < kConfigRecordSize; ++b) {
      const bool reserved = (b >= 334 && b < 336) || (b >= 382 && b < 384) || (b >= 794 && b < 796);
      if (bytes[b] != (reserved ? 0 : original[b])) std::abort();
    }
    // Loading goes through both conversions; texts stay terminated.
    ns__SwitchInfo info;
    AgentRecordToSwitchInfo(stored.record, info);
    AgentRecord back;
    SwitchInfoToAgentRecord(info, back);
    if (std::memchr(back.systemName, 0, sizeof back.systemName) == nullptr) std::abort();
    if (std::memchr(back.wifiSupportChannel5G, 0, sizeof back.wifiSupportChannel5G) == nullptr) {
      std::abort();
    }
    if (back.trapMessage[0] != 0) std::abort();
  }
  return 0;
}
