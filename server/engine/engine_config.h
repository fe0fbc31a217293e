#pragma once
// The engine's configuration file cfg/define.ecf, read into the settings of
// config/config_values.h when the engine starts.
//
// The file is text, one "key=value" per line with CR LF between lines,
// every printable byte scrambled by an affine substitution, followed by two
// check bytes that make the folded byte sum 0xFF. The pure functions below
// work on bytes; the load and save functions are a thin file layer on top.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/config_values.h"

namespace ferro {

// ---- File format ---------------------------------------------------------

// Relative to the current working directory.
inline constexpr char kEngineConfigPath[] = "cfg/define.ecf";
// The whole file, line ends and check bytes included, holds at most this many bytes.
inline constexpr size_t kConfigFileMaxBytes = 511;
// An interval line holds at most 4 decimal digits.
inline constexpr uint32_t kMaxIntervalSeconds = 9999;

// The substitution of one byte: codes 32..127 are mapped, others unchanged.
uint8_t ConfigScrambleByte(uint8_t x);
uint8_t ConfigUnscrambleByte(uint8_t y);
std::string ConfigScramble(std::string_view text);
std::string ConfigUnscramble(std::string_view text);

// Bytes summed into 16 bits (wrapping), then folded twice into 0..255.
uint8_t ConfigChecksum(std::string_view bytes);

// The bytes of a file as the loader sees them: the text with every line end
// made CR LF, then the check bytes (the last two bytes when the file ends
// in 0xFF) as they are, at most kConfigFileMaxBytes in all.
struct ConfigBuffer {
  std::string bytes;      // text followed by the check bytes
  size_t textLength = 0;  // the text part of `bytes`
  std::string_view text() const { return std::string_view(bytes).substr(0, textLength); }
};
ConfigBuffer ReadConfigText(std::string_view fileBytes);

// True when the folded sum of every byte read is 0xFF.
bool ConfigBufferValid(const ConfigBuffer& buffer);

// Reads the keys from unscrambled text. Each value is what follows the first
// occurrence of its key, up to CR or NUL and at most 8 (cookie), 4 (port),
// 15 (group) or 4 (intervals) characters.
ConfigValues ParseConfigValues(std::string_view plainText);

// The values of a file's bytes, or nothing when its check sum is not valid.
std::optional<ConfigValues> DecodeConfigFile(std::string_view fileBytes);

// The plain text of a file holding all five keys in their order. Intervals
// above 9999 seconds are written as 9999.
std::string FormatConfigText(const ConfigValues& values);

// Scrambles plain text and appends its check bytes: the bytes of a valid
// file. Nothing when the result would exceed kConfigFileMaxBytes.
std::optional<std::string> SealConfigText(std::string_view plainText);

enum class RewriteResult {
  kRewritten,      // `out` holds the new file bytes
  kNoIntervalKey,  // the text has no monitor interval key: nothing to write
  kTooLong,        // the new file would exceed kConfigFileMaxBytes: not written
};
// Replaces everything after "monitor_polling_interval=" by the two interval
// lines (seconds, clamped to 9999), keeping the text before it. The old check
// bytes are not tested.
RewriteResult RewriteConfigFile(std::string_view fileBytes, uint32_t monitorMs, uint32_t igmpMs,
                                std::string* out);

// ---- Engine entry points (1 = success, 0 = failure) ------------------------

// Reads kEngineConfigPath; on a missing or damaged file returns 0 and changes
// nothing. Otherwise sets every value, then returns CheckPortFree(DiscoveryPort).
int LoadEngineConfig();
int LoadEngineConfigFrom(const std::string& path);

// Rewrites the interval lines of kEngineConfigPath. 1 when rewritten or when
// the file has no monitor interval key; 0 when the file cannot be read or
// written, or the new file would be too long.
int SaveEngineConfig();
int SaveEngineConfigTo(const std::string& path);

// Interval setters take seconds (saturating at the largest whole second that
// fits 32-bit milliseconds). The monitor setter rewrites the file.
void SetMonitorInterval(uint32_t seconds);
uint32_t GetMonitorInterval();
void SetIgmpInterval(uint32_t seconds);
uint32_t GetIgmpInterval();

// Binds a UDP socket (SO_REUSEADDR) to the wildcard address and `port` and
// closes it. Bind failure: logs, sets PortInUse, returns 0. A socket that
// cannot be made leaves PortInUse alone and returns 0.
int CheckPortFree(uint16_t port);
bool IsPortInUse();

}  // namespace ferro
