// The engine configuration file: scramble, check sum, reading rules, keys,
// rewriting, the operator tool's files and the port probe.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/engine_config.h"
#include "platform/socket.h"
#include "service/unattended.h"

namespace ferro {
namespace {

namespace fs = std::filesystem;

// The default file (cookie 00000000, port FC01, group 239.255.255.100,
// intervals 15 and 120) as its bytes must be, worked out by hand from the
// product's scramble key: text with CR LF line ends, then 0x4F 0xFF.
const std::string kDefaultFile =
    "6ZxbDpD  Lb.feeeeeeee\r\n"
    ">iEpibTD c./rpE /yf3$e*\r\n"
    "6>qybDZTypx/ >EfOt2{O^^{O^^{*ee\r\n"
    "6 [by /pE qqb[xpb[y./cZqf*^\r\n"
    "bx6Ep/.E /ypb[y./cZqf*OeO\xff";

const char kAllKeys[] =
    "magic_cookie=1A2B3C4D\r\nudp_discovery_port=fc01\r\nmulticast_group=239.1.2.3\r\n"
    "monitor_polling_interval=30\r\nigmp_report_interval=60";

std::string Sealed(std::string_view plain) {
  std::optional<std::string> file = SealConfigText(plain);
  EXPECT_TRUE(file.has_value());
  return file.value_or("");
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

int ProcessId() {
#ifdef _WIN32
  return ::_getpid();
#else
  return ::getpid();
#endif
}

uint32_t Addr(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

// Keeps the process-wide values and the working directory as they were, and
// gives each test a fresh folder holding cfg/ as its working directory.
class EngineConfigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    EngineConfig& c = Config();
    saved_ = {c.magicCookie, c.DiscoveryPort, c.multicastGroup, c.monitorPollingIntervalMs,
              c.igmpReportIntervalMs};
    savedPortInUse_ = c.PortInUse;
    oldCwd_ = fs::current_path();
    dir_ = fs::temp_directory_path() /
           ("ferro_ecf_" + std::to_string(ProcessId()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_ / "cfg");
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(oldCwd_);
    fs::remove_all(dir_);
    EngineConfig& c = Config();
    c.magicCookie = saved_.magicCookie;
    c.DiscoveryPort = saved_.discoveryPort;
    c.CommandPort = static_cast<uint16_t>(saved_.discoveryPort + 1);
    c.AgentPort = static_cast<uint16_t>(saved_.discoveryPort + 2);
    c.GroupPort = static_cast<uint16_t>(saved_.discoveryPort + 6);
    c.multicastGroup = saved_.multicastGroup;
    c.monitorPollingIntervalMs = saved_.monitorPollingIntervalMs;
    c.igmpReportIntervalMs = saved_.igmpReportIntervalMs;
    c.PortInUse = savedPortInUse_;
  }
  fs::path File() const { return dir_ / "cfg" / "define.ecf"; }

  ConfigValues saved_;
  bool savedPortInUse_ = false;
  fs::path oldCwd_;
  fs::path dir_;
};

TEST(ConfigScramble, FixedKeyAndInverse) {
  EXPECT_EQ(ConfigScramble("magic_cookie="), "6ZxbDpD  Lb.f");
  EXPECT_EQ(ConfigScramble(" ~\x7f\r\n"), "Uk0\r\n");
  bool seen[256] = {};
  for (int x = 0; x < 256; ++x) {
    const auto b = static_cast<uint8_t>(x);
    const uint8_t y = ConfigScrambleByte(b);
    EXPECT_EQ(ConfigUnscrambleByte(y), b) << x;
    if (x < 32 || x > 127) {
      EXPECT_EQ(y, b);
    } else {
      EXPECT_GE(y, 32);
      EXPECT_LE(y, 127);
      EXPECT_FALSE(seen[y]) << "two codes scramble to " << int(y);
      seen[y] = true;
    }
  }
}

TEST(ConfigChecksum, WrapsAndFolds) {
  EXPECT_EQ(ConfigChecksum(""), 0);
  EXPECT_EQ(ConfigChecksum("\xff\xff"), 0xFF);                // 0x1FE folds to 0xFF
  EXPECT_EQ(ConfigChecksum(std::string(300, '\xff')), 0xFE);  // 76500 wraps to 0x2AD4
  EXPECT_EQ(ConfigChecksum("\x01\x02"), 3);
}

TEST(ConfigFile, DefaultFileBytesAndValues) {
  ConfigValues v;
  v.multicastGroup = Addr("239.255.255.100");
  EXPECT_EQ(Sealed(FormatConfigText(v)), kDefaultFile);
  const std::optional<ConfigValues> d = DecodeConfigFile(kDefaultFile);
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->magicCookie, 0u);
  EXPECT_EQ(d->discoveryPort, 64513);
  EXPECT_EQ(d->multicastGroup, Addr("239.255.255.100"));
  EXPECT_EQ(d->monitorPollingIntervalMs, 15000u);
  EXPECT_EQ(d->igmpReportIntervalMs, 120000u);
}

TEST(ConfigFile, TheBuildPutsAValidDefaultFileIntoTheProgramFolder) {
  const fs::path file = fs::path(FERRO_DIST_DIR) / "cfg" / "define.ecf";
  if (!fs::exists(file)) GTEST_SKIP() << "no program folder built";
  // The server may have rewritten the interval lines since the build; the
  // other values are the defaults.
  const std::optional<ConfigValues> v = DecodeConfigFile(ReadBytes(file));
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->magicCookie, 0u);
  EXPECT_EQ(v->discoveryPort, 0xFC01);
  EXPECT_EQ(v->multicastGroup, Addr("239.255.255.100"));
}

TEST(ConfigKeys, ValuesAndDefaults) {
  ConfigValues v = ParseConfigValues(kAllKeys);
  EXPECT_EQ(v.magicCookie, 0x1A2B3C4Du);
  EXPECT_EQ(v.discoveryPort, 0xFC01);
  EXPECT_EQ(v.multicastGroup, Addr("239.1.2.3"));
  EXPECT_EQ(v.monitorPollingIntervalMs, 30000u);
  EXPECT_EQ(v.igmpReportIntervalMs, 60000u);

  v = ParseConfigValues("multicast_group=1.2.3.4");
  EXPECT_EQ(v.magicCookie, 0u);
  EXPECT_EQ(v.discoveryPort, 64513);
  EXPECT_EQ(v.monitorPollingIntervalMs, 15000u);
  EXPECT_EQ(v.igmpReportIntervalMs, 120000u);
  EXPECT_EQ(ParseConfigValues("").multicastGroup, Addr("239.255.255.100"));
}

TEST(ConfigKeys, HexValues) {
  EXPECT_EQ(ParseConfigValues("udp_discovery_port=FC01").discoveryPort,
            ParseConfigValues("udp_discovery_port=fc01").discoveryPort);
  // Three digits: one byte from the first two, the lone digit is ignored.
  EXPECT_EQ(ParseConfigValues("udp_discovery_port=FC0").discoveryPort, 0xFC00);
  EXPECT_EQ(ParseConfigValues("udp_discovery_port=FCG1").discoveryPort, 0);
  EXPECT_EQ(ParseConfigValues("udp_discovery_port=\r\n").discoveryPort, 0);
  EXPECT_EQ(ParseConfigValues("magic_cookie=ABCDEF").magicCookie, 0xABCDEF00u);
  EXPECT_EQ(ParseConfigValues("magic_cookie=12 45678").magicCookie, 0u);
  // At most 8 characters are the value: the ninth is not looked at.
  EXPECT_EQ(ParseConfigValues("magic_cookie=0000000Fzz").magicCookie, 0x0Fu);
}

TEST(ConfigKeys, GroupAndIntervals) {
  EXPECT_EQ(ParseConfigValues("multicast_group=not-an-address").multicastGroup, 0xFFFFFFFFu);
  EXPECT_EQ(ParseConfigValues("monitor_polling_interval=").monitorPollingIntervalMs, 0u);
  EXPECT_EQ(ParseConfigValues("monitor_polling_interval=\r\n").monitorPollingIntervalMs, 0u);
  EXPECT_EQ(ParseConfigValues("monitor_polling_interval=12ab").monitorPollingIntervalMs, 12000u);
  EXPECT_EQ(ParseConfigValues("monitor_polling_interval=-5").monitorPollingIntervalMs, 0u);
  EXPECT_EQ(ParseConfigValues("igmp_report_interval=123456").igmpReportIntervalMs, 1234000u);
  // CR ends a value, LF does not.
  EXPECT_EQ(ParseConfigValues("igmp_report_interval=7\r8").igmpReportIntervalMs, 7000u);
  EXPECT_EQ(ParseConfigValues("igmp_report_interval=7\n8").igmpReportIntervalMs, 7000u);
  EXPECT_EQ(ParseConfigValues("igmp_report_interval=78\n").igmpReportIntervalMs, 78000u);
}

TEST(ConfigRead, LineEndsAndCheckBytes) {
  // LF-only line ends read as CR LF, so the file stays valid.
  std::string lfOnly = Sealed(kAllKeys);
  std::erase(lfOnly, '\r');
  ConfigBuffer b = ReadConfigText(lfOnly);
  EXPECT_TRUE(ConfigBufferValid(b));
  EXPECT_EQ(ConfigUnscramble(b.text()), kAllKeys);
  // And a text written with LF alone (a Unix editor's, ending in a line
  // end) is sealed as the reader will read it.
  std::string unixText = std::string(kAllKeys) + "\n";
  std::erase(unixText, '\r');
  b = ReadConfigText(Sealed(unixText));
  EXPECT_TRUE(ConfigBufferValid(b));
  EXPECT_EQ(ConfigUnscramble(b.text()), std::string(kAllKeys) + "\r\n");

  // Check bytes with the value of LF or CR are not line ends, and a text
  // whose sum is already 0xFF carries no check bytes: find such texts by
  // varying a comment line in front.
  bool sawLf = false, sawCr = false, sawNone = false;
  for (int i = 0; i < 95 * 95 && !(sawLf && sawCr && sawNone); ++i) {
    const std::string plain =
        std::string{'#', char(32 + i % 95), char(32 + i / 95), '\r', '\n'} + kAllKeys;
    const std::string file = Sealed(plain);
    const uint8_t first = static_cast<uint8_t>(0xFF - ConfigChecksum(ConfigScramble(plain)));
    const std::optional<ConfigValues> v = DecodeConfigFile(file);
    ASSERT_TRUE(v.has_value()) << plain;
    EXPECT_EQ(v->igmpReportIntervalMs, 60000u) << "check bytes belong to no value";
    sawLf |= first == '\n';
    sawCr |= first == '\r';
    if (first == 0) {
      sawNone = true;
      EXPECT_EQ(file, ConfigScramble(plain));
    }
  }
  EXPECT_TRUE(sawLf);
  EXPECT_TRUE(sawCr);
  EXPECT_TRUE(sawNone);
}

TEST(ConfigRead, BufferHoldsAtMost511Bytes) {
  const std::string big(600, 'a');
  EXPECT_EQ(ReadConfigText(big).bytes.size(), 511u);
  EXPECT_FALSE(DecodeConfigFile(big).has_value());
}

TEST_F(EngineConfigFile, LoadSetsEveryValueAndDerivedPorts) {
  WriteBytes(File(), Sealed("magic_cookie=00000001\r\nudp_discovery_port=FFFE\r\n"
                            "multicast_group=239.9.9.9\r\nmonitor_polling_interval=5"));
  const int result = LoadEngineConfig();  // from cfg/define.ecf under the working directory
  EXPECT_EQ(result, IsPortInUse() ? 0 : 1);
  EngineConfig& c = Config();
  EXPECT_EQ(c.magicCookie, 1u);
  EXPECT_EQ(c.DiscoveryPort, 0xFFFE);
  EXPECT_EQ(c.CommandPort, 0xFFFF);
  EXPECT_EQ(c.AgentPort, 0);  // 16-bit wrap
  EXPECT_EQ(c.GroupPort, 4);
  EXPECT_EQ(c.multicastGroup, Addr("239.9.9.9"));
  EXPECT_EQ(c.monitorPollingIntervalMs, 5000u);
  EXPECT_EQ(c.igmpReportIntervalMs, 120000u);
}

TEST(ConfigValuesTest, SettingsStartWithTheDocumentedDefaults) {
  // What an engine without a readable file runs with: not zeros, which
  // would bind random ports and send to port 0.
  const EngineConfig fresh;
  EXPECT_EQ(fresh.magicCookie, 0u);
  EXPECT_EQ(fresh.DiscoveryPort, 64513);
  EXPECT_EQ(fresh.CommandPort, 64514);
  EXPECT_EQ(fresh.AgentPort, 64515);
  EXPECT_EQ(fresh.GroupPort, 64519);
  EXPECT_EQ(fresh.multicastGroup, Addr("239.255.255.100"));
  EXPECT_EQ(fresh.monitorPollingIntervalMs, 15000u);
  EXPECT_EQ(fresh.igmpReportIntervalMs, 120000u);
  EXPECT_FALSE(fresh.PortInUse);
  EXPECT_EQ(DefaultConfigValues().multicastGroup, Addr("239.255.255.100"));
}

TEST(ConfigValuesTest, KeepAliveIntervalIsAtLeastOneSecond) {
  const uint32_t saved = Config().monitorPollingIntervalMs;
  for (const auto& [set, used] :
       {std::pair{0u, 1000u}, {999u, 1000u}, {1000u, 1000u}, {30000u, 30000u}}) {
    Config().monitorPollingIntervalMs = set;
    EXPECT_EQ(EffectiveMonitorIntervalMs(), used) << set;
  }
  Config().monitorPollingIntervalMs = saved;
}

TEST_F(EngineConfigFile, DamagedOrMissingFileChangesNothing) {
  Config().magicCookie = 77;
  Config().PortInUse = true;
  std::string file = Sealed(kAllKeys);
  file[3] = file[3] == 'a' ? 'b' : 'a';  // one printable character replaced
  WriteBytes(File(), file);
  EXPECT_EQ(LoadEngineConfig(), 0);
  EXPECT_EQ(Config().magicCookie, 77u);
  EXPECT_TRUE(IsPortInUse());
  fs::remove(File());
  EXPECT_EQ(LoadEngineConfig(), 0);
  EXPECT_EQ(Config().magicCookie, 77u);
  EXPECT_EQ(SaveEngineConfig(), 0);
  EXPECT_FALSE(fs::exists(File()));
}

TEST_F(EngineConfigFile, IntervalSettersRewriteTheFile) {
  WriteBytes(File(), kDefaultFile);
  SetIgmpInterval(60);
  EXPECT_EQ(ReadBytes(File()), kDefaultFile) << "the IGMP setter does not write";
  SetMonitorInterval(30);
  EXPECT_EQ(GetMonitorInterval(), 30u);
  EXPECT_EQ(GetIgmpInterval(), 60u);
  const std::optional<ConfigValues> v = DecodeConfigFile(ReadBytes(File()));
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->monitorPollingIntervalMs, 30000u);
  EXPECT_EQ(v->igmpReportIntervalMs, 60000u);
  EXPECT_EQ(v->discoveryPort, 64513);
}

TEST_F(EngineConfigFile, RewriteKeepsTheTextBeforeTheMonitorKey) {
  // Damaged check bytes are not tested by the rewrite; text after the key goes.
  std::string file = Sealed("note=kept\r\nmonitor_polling_interval=15\r\nextra=gone");
  file.back() = 'x';
  WriteBytes(File(), file);
  Config().monitorPollingIntervalMs = 45000;
  Config().igmpReportIntervalMs = 1000;
  EXPECT_EQ(SaveEngineConfig(), 1);
  const ConfigBuffer b = ReadConfigText(ReadBytes(File()));
  EXPECT_TRUE(ConfigBufferValid(b));
  EXPECT_EQ(ConfigUnscramble(b.text()),
            "note=kept\r\nmonitor_polling_interval=45\r\nigmp_report_interval=1");
}

TEST_F(EngineConfigFile, RewriteWithoutMonitorKeyChangesNothing) {
  const std::string file = Sealed("magic_cookie=00000000");
  WriteBytes(File(), file);
  EXPECT_EQ(SaveEngineConfig(), 1);
  EXPECT_EQ(ReadBytes(File()), file);
}

TEST_F(EngineConfigFile, LargeIntervalsAreClampedInTheFile) {
  WriteBytes(File(), kDefaultFile);
  SetIgmpInterval(5000000);  // beyond 32-bit milliseconds
  EXPECT_EQ(GetIgmpInterval(), 4294967u) << "saturates instead of wrapping";
  SetMonitorInterval(123456);
  EXPECT_EQ(GetMonitorInterval(), 123456u);
  const std::optional<ConfigValues> v = DecodeConfigFile(ReadBytes(File()));
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->monitorPollingIntervalMs, 9999000u);
  EXPECT_EQ(v->igmpReportIntervalMs, 9999000u);
}

TEST_F(EngineConfigFile, RewriteNeverGrowsPast511Bytes) {
  // 483 bytes now; 507 rewritten with one-digit intervals, 513 with four.
  const std::string plain = std::string(453, '#') + "\r\nmonitor_polling_interval=1";
  const std::string file = Sealed(plain);
  WriteBytes(File(), file);
  Config().monitorPollingIntervalMs = 9999000;
  Config().igmpReportIntervalMs = 9999000;
  EXPECT_EQ(SaveEngineConfig(), 0);
  EXPECT_EQ(ReadBytes(File()), file);
  std::string out;
  EXPECT_EQ(RewriteConfigFile(file, 1000, 1000, &out), RewriteResult::kRewritten);
  EXPECT_LE(out.size(), kConfigFileMaxBytes);
}

// The tool through the shell: on Linux, where the tool is built.
#ifndef _WIN32
TEST_F(EngineConfigFile, ToolWritesFilesTheLoaderReads) {
  const fs::path tool = fs::path(FERRO_DIST_DIR) / "tools" / "ecftool";
  if (!fs::exists(tool)) GTEST_SKIP() << "ecftool not built";
  const std::string path = File().string();
  const std::string write = tool.string() + " write " + path +
                            " --cookie 1A2B3C4D --port 1234 --group 239.1.2.3 --monitor 5"
                            " --igmp 9999 >/dev/null";
  ASSERT_EQ(std::system(write.c_str()), 0);
  const std::optional<ConfigValues> v = DecodeConfigFile(ReadBytes(File()));
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->magicCookie, 0x1A2B3C4Du);
  EXPECT_EQ(v->discoveryPort, 0x1234);
  EXPECT_EQ(v->multicastGroup, Addr("239.1.2.3"));
  EXPECT_EQ(v->monitorPollingIntervalMs, 5000u);
  EXPECT_EQ(v->igmpReportIntervalMs, 9999000u);

  const std::string show = tool.string() + " show " + path + " >/dev/null";
  EXPECT_EQ(std::system(show.c_str()), 0);
  std::string damaged = ReadBytes(File());
  damaged[0] = damaged[0] == 'a' ? 'b' : 'a';
  WriteBytes(File(), damaged);
  EXPECT_EQ(WEXITSTATUS(std::system(show.c_str())), 1) << "a damaged file is reported";
  const std::string bad = tool.string() + " write " + path + " --port 12345 2>/dev/null";
  EXPECT_EQ(WEXITSTATUS(std::system(bad.c_str())), 2) << "five hex digits are refused";
}
#endif

TEST_F(EngineConfigFile, PortProbe) {
  ASSERT_TRUE(StartSockets());
  const SocketHandle holder = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_TRUE(IsValidSocket(holder));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  const uint16_t port = ntohs(addr.sin_port);

  ::testing::internal::CaptureStdout();
  EXPECT_EQ(CheckPortFree(port), 0);
#ifdef _WIN32
  const int inUse = WSAEADDRINUSE;
#else
  const int inUse = EADDRINUSE;
#endif
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "check socket WSAGetLastError() = " + std::to_string(inUse) + "\n");
  EXPECT_TRUE(IsPortInUse());
  CloseSocket(holder);
  EXPECT_EQ(CheckPortFree(port), 1);
  EXPECT_FALSE(IsPortInUse());
}

// The unattended running's lines sit among the engine's keys; a bad value
// keeps what was set, and a key is read only at a line's start.
TEST(EcfUnattendedOptions, ReadsItsLinesAndKeepsWhatABadValueWouldChange) {
  UnattendedOptions options;
  ApplyUnattendedOptions(
      "magic_cookie=00000000\r\nengine_start=1\r\nwatched_list_keep=yes\r\n"
      "xinterfaces=eth0\r\ninterfaces=eth1,eth2\r\nmonitor_polling_interval=15\r\n",
      &options);
  EXPECT_TRUE(options.startEngine);
  EXPECT_FALSE(options.keepWatchedList);
  EXPECT_EQ(options.interfaces, (std::vector<std::string>{"eth1", "eth2"}));
  ApplyUnattendedOptions("engine_start=0\r\nwatched_list_keep=1\r\ninterfaces=\r\n", &options);
  EXPECT_FALSE(options.startEngine);
  EXPECT_TRUE(options.keepWatchedList);
  EXPECT_TRUE(options.interfaces.empty());
  const UnattendedOptions none;
  UnattendedOptions unchanged;
  ApplyUnattendedOptions(FormatConfigText(DefaultConfigValues()), &unchanged);
  EXPECT_EQ(unchanged.startEngine, none.startEngine);
  EXPECT_EQ(unchanged.keepWatchedList, none.keepWatchedList);
  EXPECT_TRUE(unchanged.interfaces.empty());
}

}  // namespace
}  // namespace ferro
