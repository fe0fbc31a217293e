#include "engine/engine_config.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "platform/diag.h"
#include "platform/socket.h"
#include "platform/text.h"

namespace ferro {
namespace {

// The scramble key of the product: y = (m * (x - 32) + k) mod 96 + 32.
// m must be odd and not a multiple of 3 so that it is invertible modulo 96.
// Files written with one key cannot be read with another: never change it.
constexpr int kScrambleM = 37;
constexpr int kScrambleK = 53;
constexpr int kScrambleSpan = 96;  // the codes 32..127

// The inverse of m modulo `mod` by the extended Euclidean algorithm.
constexpr int ModInverse(int m, int mod) {
  int r0 = mod, r1 = m;
  int t0 = 0, t1 = 1;
  while (r1 != 0) {
    const int q = r0 / r1;
    const int r2 = r0 - q * r1;
    r0 = r1;
    r1 = r2;
    const int t2 = t0 - q * t1;
    t0 = t1;
    t1 = t2;
  }
  return t0 < 0 ? t0 + mod : t0;
}

constexpr int kScrambleMInverse = ModInverse(kScrambleM, kScrambleSpan);
static_assert(kScrambleM % 2 == 1 && kScrambleM % 3 != 0 && kScrambleK >= 0 && kScrambleK < 96);
static_assert((kScrambleM * kScrambleMInverse) % kScrambleSpan == 1);

constexpr std::string_view kKeyCookie = "magic_cookie=";
constexpr std::string_view kKeyPort = "udp_discovery_port=";
constexpr std::string_view kKeyGroup = "multicast_group=";
constexpr std::string_view kKeyMonitor = "monitor_polling_interval=";
constexpr std::string_view kKeyIgmp = "igmp_report_interval=";

// The value after the first occurrence of `key`: up to CR or NUL, at most
// `maxChars`. Nothing when the key is absent.
std::optional<std::string_view> FindValue(std::string_view text, std::string_view key,
                                          size_t maxChars) {
  const size_t at = text.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = text.substr(at + key.size(), maxChars);
  const size_t end = rest.find_first_of(std::string_view("\r\0", 2));
  return rest.substr(0, end);
}

// Decodes pairs of hex digits into `n` bytes, the first most significant, as
// one number. A lone last digit is ignored; bytes not produced are zero; any
// character that is not a hex digit gives 0.
uint32_t HexValue(std::string_view value, size_t n) {
  for (char c : value) {
    if (HexDigit(c) < 0) return 0;
  }
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i) {
    uint32_t byte = 0;
    if (2 * i + 1 < value.size()) {
      byte = static_cast<uint32_t>(HexDigit(value[2 * i]) * 16 + HexDigit(value[2 * i + 1]));
    }
    v = (v << 8) | byte;
  }
  return v;
}

// Leading decimal digits as seconds, in milliseconds (4 digits at most, so
// no overflow); no digit gives 0.
uint32_t SecondsValueMs(std::string_view value) {
  uint32_t seconds = 0;
  for (char c : value) {
    if (c < '0' || c > '9') break;
    seconds = seconds * 10 + static_cast<uint32_t>(c - '0');
  }
  return seconds * 1000;
}

uint32_t GroupValue(std::string_view value) {
  const std::string text(value);
#ifdef _WIN32
  // Reads the same forms as inet_aton; its failure value is INADDR_NONE.
  return inet_addr(text.c_str());
#else
  in_addr addr{};
  if (inet_aton(text.c_str(), &addr) == 0) return INADDR_NONE;
  return addr.s_addr;
#endif
}

uint32_t ClampSeconds(uint32_t ms) { return std::min(ms / 1000, kMaxIntervalSeconds); }

uint32_t SecondsToMs(uint32_t seconds) {
  constexpr uint32_t kMaxSeconds = UINT32_MAX / 1000;
  return std::min(seconds, kMaxSeconds) * 1000;
}

std::optional<std::string> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  // Anything past the buffer's size is never looked at; read a little more
  // so that the trailing check bytes of an over-long file are not mistaken.
  std::string bytes;
  char chunk[4096];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    bytes.append(chunk, static_cast<size_t>(in.gcount()));
    if (bytes.size() > 65536) break;
  }
  return bytes;
}

bool WriteFileBytes(const std::string& path, std::string_view bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return (std::fclose(f) == 0) && ok;
}

// `text` with every line ended by LF alone ended by CR LF, as the reader
// takes it, cut at `cap` bytes. Scrambling keeps both bytes as they are, so
// this holds for the plain and the scrambled text alike.
std::string WithCrLf(std::string_view text, size_t cap) {
  std::string out;
  out.reserve(std::min(cap, text.size() + text.size() / 8));
  for (size_t i = 0; i < text.size() && out.size() < cap; ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out.push_back('\r');
    if (out.size() < cap) out.push_back(text[i]);
  }
  return out;
}

}  // namespace

uint8_t ConfigScrambleByte(uint8_t x) {
  if (x < 32 || x > 127) return x;
  return static_cast<uint8_t>((kScrambleM * (x - 32) + kScrambleK) % kScrambleSpan + 32);
}

uint8_t ConfigUnscrambleByte(uint8_t y) {
  if (y < 32 || y > 127) return y;
  int r = (kScrambleMInverse * (y - 32 - kScrambleK)) % kScrambleSpan;
  if (r < 0) r += kScrambleSpan;
  return static_cast<uint8_t>(r + 32);
}

std::string ConfigScramble(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(ConfigScrambleByte(static_cast<uint8_t>(c)));
  return out;
}

std::string ConfigUnscramble(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(ConfigUnscrambleByte(static_cast<uint8_t>(c)));
  return out;
}

uint8_t ConfigChecksum(std::string_view bytes) {
  uint16_t s = 0;
  for (char c : bytes) s = static_cast<uint16_t>(s + static_cast<uint8_t>(c));
  for (int i = 0; i < 2; ++i) s = static_cast<uint16_t>((s & 0xFF) + (s >> 8));
  return static_cast<uint8_t>(s);
}

ConfigBuffer ReadConfigText(std::string_view fileBytes) {
  // The scrambled text never holds 0xFF, so a file ending in 0xFF ends with
  // its two check bytes; they are taken as they are (never as a line end).
  size_t checkLength = 0;
  if (!fileBytes.empty() && static_cast<uint8_t>(fileBytes.back()) == 0xFF) {
    checkLength = std::min<size_t>(2, fileBytes.size());
  }
  const std::string_view text = fileBytes.substr(0, fileBytes.size() - checkLength);
  const std::string_view check = fileBytes.substr(fileBytes.size() - checkLength);

  ConfigBuffer buffer;
  buffer.bytes = WithCrLf(text, kConfigFileMaxBytes);
  buffer.textLength = buffer.bytes.size();
  buffer.bytes.append(check.substr(0, kConfigFileMaxBytes - buffer.bytes.size()));
  return buffer;
}

bool ConfigBufferValid(const ConfigBuffer& buffer) { return ConfigChecksum(buffer.bytes) == 0xFF; }

ConfigValues ParseConfigValues(std::string_view plainText) {
  ConfigValues v = DefaultConfigValues();
  if (auto s = FindValue(plainText, kKeyCookie, 8)) v.magicCookie = HexValue(*s, 4);
  if (auto s = FindValue(plainText, kKeyPort, 4)) {
    v.discoveryPort = static_cast<uint16_t>(HexValue(*s, 2));
  }
  if (auto s = FindValue(plainText, kKeyGroup, 15)) v.multicastGroup = GroupValue(*s);
  if (auto s = FindValue(plainText, kKeyMonitor, 4))
    v.monitorPollingIntervalMs = SecondsValueMs(*s);
  if (auto s = FindValue(plainText, kKeyIgmp, 4)) v.igmpReportIntervalMs = SecondsValueMs(*s);
  return v;
}

std::optional<ConfigValues> DecodeConfigFile(std::string_view fileBytes) {
  const ConfigBuffer buffer = ReadConfigText(fileBytes);
  if (!ConfigBufferValid(buffer)) return std::nullopt;
  return ParseConfigValues(ConfigUnscramble(buffer.text()));
}

std::string FormatConfigText(const ConfigValues& values) {
  char group[INET_ADDRSTRLEN] = {};
  in_addr addr{};
  addr.s_addr = values.multicastGroup;
  inet_ntop(AF_INET, &addr, group, sizeof group);
  char text[256];
  std::snprintf(text, sizeof text,
                "magic_cookie=%08X\r\nudp_discovery_port=%04X\r\nmulticast_group=%s\r\n"
                "monitor_polling_interval=%u\r\nigmp_report_interval=%u",
                values.magicCookie, values.discoveryPort, group,
                ClampSeconds(values.monitorPollingIntervalMs),
                ClampSeconds(values.igmpReportIntervalMs));
  return text;
}

std::optional<std::string> SealConfigText(std::string_view plainText) {
  // The check bytes are made for the text as the reader takes it (and the
  // file holds that form).
  std::string file = ConfigScramble(WithCrLf(plainText, SIZE_MAX));
  const auto first = static_cast<uint8_t>(0xFF - ConfigChecksum(file));
  // With a zero first check byte the text alone already sums to 0xFF.
  if (first != 0) {
    file.push_back(static_cast<char>(first));
    file.push_back(static_cast<char>(0xFF));
  }
  if (file.size() > kConfigFileMaxBytes) return std::nullopt;
  return file;
}

RewriteResult RewriteConfigFile(std::string_view fileBytes, uint32_t monitorMs, uint32_t igmpMs,
                                std::string* out) {
  const ConfigBuffer buffer = ReadConfigText(fileBytes);
  const std::string plain = ConfigUnscramble(buffer.text());
  const size_t at = plain.find(kKeyMonitor);
  if (at == std::string::npos) return RewriteResult::kNoIntervalKey;
  std::string text = plain.substr(0, at + kKeyMonitor.size());
  text += std::to_string(ClampSeconds(monitorMs));
  text += "\r\n";
  text += kKeyIgmp;
  text += std::to_string(ClampSeconds(igmpMs));
  std::optional<std::string> sealed = SealConfigText(text);
  if (!sealed) return RewriteResult::kTooLong;
  if (out != nullptr) *out = std::move(*sealed);
  return RewriteResult::kRewritten;
}

int LoadEngineConfig() { return LoadEngineConfigFrom(kEngineConfigPath); }

int LoadEngineConfigFrom(const std::string& path) {
  const std::optional<std::string> bytes = ReadFileBytes(path);
  if (!bytes) return 0;
  const std::optional<ConfigValues> values = DecodeConfigFile(*bytes);
  if (!values) return 0;
  ApplyConfigValues(*values);
  return CheckPortFree(values->discoveryPort);
}

int SaveEngineConfig() { return SaveEngineConfigTo(kEngineConfigPath); }

int SaveEngineConfigTo(const std::string& path) {
  const std::optional<std::string> bytes = ReadFileBytes(path);
  if (!bytes) return 0;
  std::string file;
  switch (RewriteConfigFile(*bytes, Config().monitorPollingIntervalMs.load(),
                            Config().igmpReportIntervalMs.load(), &file)) {
    case RewriteResult::kNoIntervalKey:
      return 1;
    case RewriteResult::kTooLong:
      return 0;
    case RewriteResult::kRewritten:
      break;
  }
  return WriteFileBytes(path, file) ? 1 : 0;
}

void SetMonitorInterval(uint32_t seconds) {
  Config().monitorPollingIntervalMs = SecondsToMs(seconds);
  SaveEngineConfig();
}

uint32_t GetMonitorInterval() { return Config().monitorPollingIntervalMs.load() / 1000; }

void SetIgmpInterval(uint32_t seconds) { Config().igmpReportIntervalMs = SecondsToMs(seconds); }

uint32_t GetIgmpInterval() { return Config().igmpReportIntervalMs.load() / 1000; }

int CheckPortFree(uint16_t port) {
  if (!StartSockets()) return 0;
  const SocketHandle fd = ::socket(AF_INET, SOCK_DGRAM | kCloseOnExec, 0);
  if (!IsValidSocket(fd)) return 0;
#ifndef _WIN32
  // Shared as the engine's own sockets share their ports: with this user's
  // sockets only. (On Windows any sharing option would let the bind share a
  // port another program holds, so the check would always pass.)
  const int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0) {
    CloseSocket(fd);
    return 0;
  }
#endif
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(port);
  const int rc = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  const int err = LastSocketError();
  CloseSocket(fd);
  if (rc != 0) {
    Diag("check socket WSAGetLastError() = %d\n", err);
    Config().PortInUse = true;
    return 0;
  }
  Config().PortInUse = false;
  return 1;
}

bool IsPortInUse() { return Config().PortInUse.load(); }

}  // namespace ferro
