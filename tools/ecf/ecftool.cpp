// ecftool: reads and writes the engine configuration file cfg/define.ecf.
//
//   ecftool show FILE      print the values the file holds and whether its
//                          check sum is valid (exit 0 valid, 1 not valid)
//   ecftool write FILE [--cookie HEX] [--port HEX] [--group A.B.C.D]
//                      [--monitor SECONDS] [--igmp SECONDS]
//                          write a valid file; unspecified values take the
//                          defaults (00000000, FC01, 239.255.255.100, 15, 120)
//   ecftool decode FILE    print the unscrambled text
//   ecftool encode FILE    scramble the plain text read from standard input
//                          and write it with its check bytes

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "engine/engine_config.h"
#include "platform/socket.h"

namespace {

using ferro::ConfigValues;

constexpr int kExitOk = 0;
constexpr int kExitInvalid = 1;
constexpr int kExitUsage = 2;

int Usage() {
  std::fprintf(stderr,
               "usage: ecftool show FILE\n"
               "       ecftool write FILE [--cookie HEX] [--port HEX] [--group A.B.C.D]\n"
               "                          [--monitor SECONDS] [--igmp SECONDS]\n"
               "       ecftool decode FILE\n"
               "       ecftool encode FILE < plain-text\n");
  return kExitUsage;
}

std::optional<std::string> ReadAll(std::istream& in) {
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return ReadAll(in);
}

bool WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

// Unsigned number of at most `maxDigits` digits in `base`.
std::optional<unsigned long> ParseNumber(std::string_view text, int base, size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits) return std::nullopt;
  const std::string s(text);
  char* end = nullptr;
  const unsigned long v = std::strtoul(s.c_str(), &end, base);
  if (end == nullptr || *end != '\0' || s[0] == '-' || s[0] == '+') return std::nullopt;
  return v;
}

int Show(const std::string& path) {
  const std::optional<std::string> bytes = ReadFile(path);
  if (!bytes) {
    std::fprintf(stderr, "ecftool: cannot read %s\n", path.c_str());
    return kExitUsage;
  }
  const ferro::ConfigBuffer buffer = ferro::ReadConfigText(*bytes);
  const bool valid = ferro::ConfigBufferValid(buffer);
  const ConfigValues v = ferro::ParseConfigValues(ferro::ConfigUnscramble(buffer.text()));
  char group[INET_ADDRSTRLEN] = {};
  in_addr addr{};
  addr.s_addr = v.multicastGroup;
  inet_ntop(AF_INET, &addr, group, sizeof group);
  std::printf("file: %s (%zu bytes)\n", path.c_str(), bytes->size());
  std::printf("checksum: %s\n", valid ? "valid" : "NOT valid (the server refuses this file)");
  std::printf("magic_cookie: %08X\n", v.magicCookie);
  std::printf("udp_discovery_port: %04X (%u; command %u, agent %u, group %u)\n", v.discoveryPort,
              v.discoveryPort, static_cast<uint16_t>(v.discoveryPort + 1),
              static_cast<uint16_t>(v.discoveryPort + 2),
              static_cast<uint16_t>(v.discoveryPort + 6));
  std::printf("multicast_group: %s\n", group);
  std::printf("monitor_polling_interval: %u s\n", v.monitorPollingIntervalMs / 1000);
  std::printf("igmp_report_interval: %u s\n", v.igmpReportIntervalMs / 1000);
  return valid ? kExitOk : kExitInvalid;
}

int Write(const std::string& path, int argc, char** argv) {
  ConfigValues v = ferro::DefaultConfigValues();
  for (int i = 0; i < argc; i += 2) {
    const std::string_view option = argv[i];
    if (i + 1 >= argc) return Usage();
    const std::string_view value = argv[i + 1];
    if (option == "--cookie") {
      const auto n = ParseNumber(value, 16, 8);
      if (!n) return Usage();
      v.magicCookie = static_cast<uint32_t>(*n);
    } else if (option == "--port") {
      const auto n = ParseNumber(value, 16, 4);
      if (!n) return Usage();
      v.discoveryPort = static_cast<uint16_t>(*n);
    } else if (option == "--group") {
      in_addr addr{};
      if (inet_pton(AF_INET, std::string(value).c_str(), &addr) != 1) return Usage();
      v.multicastGroup = addr.s_addr;
    } else if (option == "--monitor" || option == "--igmp") {
      const auto n = ParseNumber(value, 10, 4);
      if (!n) return Usage();
      const auto ms = static_cast<uint32_t>(*n * 1000);
      (option == "--monitor" ? v.monitorPollingIntervalMs : v.igmpReportIntervalMs) = ms;
    } else {
      return Usage();
    }
  }
  const std::optional<std::string> file = ferro::SealConfigText(ferro::FormatConfigText(v));
  if (!file || !WriteFile(path, *file)) {
    std::fprintf(stderr, "ecftool: cannot write %s\n", path.c_str());
    return kExitUsage;
  }
  return kExitOk;
}

int Decode(const std::string& path) {
  const std::optional<std::string> bytes = ReadFile(path);
  if (!bytes) {
    std::fprintf(stderr, "ecftool: cannot read %s\n", path.c_str());
    return kExitUsage;
  }
  const ferro::ConfigBuffer buffer = ferro::ReadConfigText(*bytes);
  const std::string text = ferro::ConfigUnscramble(buffer.text());
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::printf("\n");
  return ferro::ConfigBufferValid(buffer) ? kExitOk : kExitInvalid;
}

int Encode(const std::string& path) {
  const std::optional<std::string> text = ReadAll(std::cin);
  const std::optional<std::string> file = text ? ferro::SealConfigText(*text) : std::nullopt;
  if (!file) {
    std::fprintf(stderr, "ecftool: the text does not fit in %zu bytes\n",
                 ferro::kConfigFileMaxBytes);
    return kExitUsage;
  }
  if (!WriteFile(path, *file)) {
    std::fprintf(stderr, "ecftool: cannot write %s\n", path.c_str());
    return kExitUsage;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string_view command = argv[1];
  const std::string path = argv[2];
  if (command == "show" && argc == 3) return Show(path);
  if (command == "write") return Write(path, argc - 3, argv + 3);
  if (command == "decode" && argc == 3) return Decode(path);
  if (command == "encode" && argc == 3) return Encode(path);
  return Usage();
}
