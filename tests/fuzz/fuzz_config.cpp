// Fuzzes the define.ecf reader and rewriter: any file must be read without
// fault, and a rewrite must give a valid file of at most 511 bytes that
// holds the new monitor interval.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/engine_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ferro;
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  const ConfigBuffer buffer = ReadConfigText(file);
  if (buffer.bytes.size() > kConfigFileMaxBytes || buffer.textLength > buffer.bytes.size()) {
    std::abort();
  }
  DecodeConfigFile(file);
  ParseConfigValues(file);

  const uint32_t monitorMs = size > 0 ? uint32_t{data[0]} * 1000u * 97u : 0;
  std::string rewritten;
  if (RewriteConfigFile(file, monitorMs, 0xFFFFFFFFu, &rewritten) == RewriteResult::kRewritten) {
    if (rewritten.size() > kConfigFileMaxBytes) std::abort();
    // The check sum adds the bytes in 16 bits that wrap, so only a text whose
    // sum stays below 65536 can be sealed; a text line is at most 511
    // bytes below 128, which always does. (Junk high bytes carried over from
    // a damaged file can push the sum past that; such a file stays invalid.)
    uint32_t sum = 0;
    for (unsigned char c : rewritten) sum += c;
    if (sum > 0xFFFF) return 0;
    const std::optional<ConfigValues> v = DecodeConfigFile(rewritten);
    if (!v) std::abort();
    const uint32_t expected = std::min<uint32_t>(monitorMs / 1000, kMaxIntervalSeconds) * 1000;
    if (v->monitorPollingIntervalMs != expected) std::abort();
  }
  if (ConfigUnscramble(ConfigScramble(file)) != file) std::abort();
  return 0;
}
