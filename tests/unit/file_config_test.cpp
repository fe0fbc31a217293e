// Saved device lists (record layout, whole and partial files), the sample
// request helpers, path conversion and whole-file replacement.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/file_path.h"
#include "service/config_file.h"
#include "service/sample_requests.h"

namespace ferro {
namespace {

namespace fs = std::filesystem;

// A stored record written byte by byte from the file format's table, with
// offsets typed in by hand rather than taken from the struct.
std::vector<uint8_t> HandBuiltRecord() {
  std::vector<uint8_t> b(1608, 0);
  auto text = [&](size_t at, const char* s) { std::memcpy(&b[at], s, std::strlen(s)); };
  auto u16 = [&](size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v & 0xFF);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
  };
  auto u32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = (v >> (8 * i)) & 0xFF;
  };
  auto ip = [&](size_t at, uint8_t a, uint8_t c, uint8_t d, uint8_t e) {
    b[at] = a, b[at + 1] = c, b[at + 2] = d, b[at + 3] = e;
  };
  text(0, "GS-1920 product");
  text(41, "sys-name");
  text(62, "rack 4");
  text(83, "12:00:00");
  text(94, "http://ctrl.example/x");
  u16(224, 1);
  text(226, "admin");
  ip(244, 192, 168, 1, 20);
  ip(248, 255, 255, 255, 0);
  ip(252, 192, 168, 1, 1);
  ip(256, 8, 8, 8, 8);
  ip(260, 8, 8, 4, 4);
  ip(264, 192, 168, 1, 2);
  text(268, "newpw");
  text(289, "oldpw");
  u16(310, 1);
  text(312, "V2.10");
  u16(330, 7);
  u16(332, 8080);
  u32(336, 300);
  u16(340, 1);
  text(342, "lldpkey");
  u16(364, 0);
  u16(366, 2);
  u16(368, 3);
  u16(370, 4);
  u32(372, 11);
  u32(376, 12);
  u16(380, 100);
  u32(384, 13);
  u32(388, 0x20000001);
  u32(392, 0x02);
  u32(396, 0x03);
  u32(400, 0x04);
  text(404, "no error");
  text(532, "link down");
  const uint8_t mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  std::memcpy(&b[788], mac, 6);
  u32(796, 1);
  u16(800, 1);
  text(802, "ssid-a");
  text(835, "key-a");
  text(900, "WPA2");
  ip(936, 10, 0, 0, 9);
  u16(940, 1812);
  text(942, "radsec");
  u16(1008, 6);
  u16(1010, 11);
  text(1012, "11bgn");
  u16(1030, 1);
  u16(1032, 1);
  u16(1034, 20);
  text(1036, "bw");
  text(1064, "rssi");
  u16(1076, 15);
  u16(1078, 1);
  text(1080, "ssid-5");
  text(1113, "key-5");
  text(1178, "WPA3");
  ip(1212, 10, 0, 0, 10);
  u16(1216, 1813);
  text(1218, "radsec5");
  u16(1284, 36);
  u16(1286, 40);
  text(1288, "11ac");
  u16(1306, 1);
  u16(1308, 1);
  u16(1310, 30);
  text(1312, "bw5");
  text(1340, "rssi5");
  u16(1352, 17);
  text(1354, "dual");
  text(1371, "EU");
  text(1376, "1,6,11");
  text(1477, "36,40");
  text(1578, "20MHz");
  text(1587, "80MHz");
  u16(1596, 1);
  u16(1598, 1);
  u32(1600, 0);           // isAlive
  u32(1604, 0xFFFFFFFE);  // recvFlag, -2: every byte matters
  return b;
}

WatchedAgent FieldByField() {
  WatchedAgent node;
  AgentRecord& r = node.record;
  r = ZeroAgentRecord();
  auto text = [](char* field, const char* s) { std::strcpy(field, s); };
  auto ip = [](uint8_t* field, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    field[0] = a, field[1] = b, field[2] = c, field[3] = d;
  };
  text(r.productName, "GS-1920 product");
  text(r.systemName, "sys-name");
  text(r.location, "rack 4");
  text(r.systemTime, "12:00:00");
  text(r.controllerIPURL, "http://ctrl.example/x");
  r.controlledByAC = 1;
  text(r.loginUser, "admin");
  ip(r.agentIpAddr, 192, 168, 1, 20);
  ip(r.agentNetmask, 255, 255, 255, 0);
  ip(r.agentGateway, 192, 168, 1, 1);
  ip(r.agentDNS1, 8, 8, 8, 8);
  ip(r.agentDNS2, 8, 8, 4, 4);
  ip(r.trapIpAddr, 192, 168, 1, 2);
  text(r.newPasseord, "newpw");
  text(r.oldPassword, "oldpw");
  r.dhcpMode = 1;
  text(r.fwVersion, "V2.10");
  r.productType = 7;
  r.httpPort = 8080;
  r.groupTimer = 300;
  r.lldpMode = 1;
  text(r.lldpAuthenkey, "lldpkey");
  r.snmpMode = 0;
  r.agentProtoVer = 2;
  r.agentFamilyType = 3;
  r.agentInterfaceVer = 4;
  r.upgradeDelayTime = 11;
  r.upgradeRebootTime = 12;
  r.vlanID = 100;
  r.upgradeEreaseFlashTime = 13;
  r.funBitmap0 = 0x20000001;
  r.funBitmap1 = 2;
  r.funBitmap2 = 3;
  r.funBitmap3 = 4;
  text(r.errString, "no error");
  text(r.trapMessage, "link down");
  const uint8_t mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  std::memcpy(r.macAddr, mac, 6);
  r.isLoaderMode = 1;
  r.wifiEnable = 1;
  text(r.wifiSSID, "ssid-a");
  text(r.wifiKey, "key-a");
  text(r.wifiSecurity, "WPA2");
  ip(r.radiusIP, 10, 0, 0, 9);
  r.radiusPort = 1812;
  text(r.radiusSecret, "radsec");
  r.wifiChannel = 6;
  r.wifiCurrentChannel = 11;
  text(r.wifi80211Mode, "11bgn");
  r.wifiVisible = 1;
  r.wifiSSIDIsolution = 1;
  r.wifiVlanID = 20;
  text(r.bandwidthControl, "bw");
  text(r.rssiScanner, "rssi");
  r.txPowerLevel = 15;
  r.wifiEnable5G = 1;
  text(r.wifiSSID5G, "ssid-5");
  text(r.wifiKey5G, "key-5");
  text(r.wifiSecurity5G, "WPA3");
  ip(r.radiusIP5G, 10, 0, 0, 10);
  r.radiusPort5G = 1813;
  text(r.radiusSecret5G, "radsec5");
  r.wifiChannel5G = 36;
  r.wifiCurrentChannel5G = 40;
  text(r.wifi80211Mode5G, "11ac");
  r.wifiVisible5G = 1;
  r.wifiSSIDIsolution5G = 1;
  r.wifiVlanID5G = 30;
  text(r.bandwidthControl5G, "bw5");
  text(r.rssiScanner5G, "rssi5");
  r.txPowerLevel5G = 17;
  text(r.wifiBand, "dual");
  text(r.fwDomain, "EU");
  text(r.wifiSupportChannel, "1,6,11");
  text(r.wifiSupportChannel5G, "36,40");
  text(r.wifiChannelWidth, "20MHz");
  text(r.wifiChannelWidth5G, "80MHz");
  r.wifiBandSteering = 1;
  r.wifiRoaming = 1;
  node.isAlive = 0;
  node.recvFlag = -2;
  return node;
}

TEST(SavedList, RecordMatchesTheHandBuiltLayout) {
  WatchedAgent node = FieldByField();
  // Whatever the reserved bytes hold in memory, the file holds zeros there.
  node.record.reserved334[0] = 0x55;
  node.record.reserved382[1] = 0x66;
  node.record.reserved794[0] = 0x77;
  const auto encoded = EncodeConfigRecord(node);
  const std::vector<uint8_t> expected = HandBuiltRecord();
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(encoded[i], expected[i]) << "byte " << i;
  }
}

TEST(SavedList, DecodeReadsTheHandBuiltLayout) {
  std::vector<uint8_t> bytes = HandBuiltRecord();
  bytes[334] = 0x12;  // reserved bytes are ignored on load
  bytes[795] = 0x34;
  const StoredAgent agent = DecodeConfigRecord(bytes.data());
  const WatchedAgent expected = FieldByField();
  EXPECT_EQ(std::memcmp(&agent.record, &expected.record, sizeof agent.record), 0);
  EXPECT_EQ(agent.isAlive, 0);
  EXPECT_EQ(agent.recvFlag, -2);
}

TEST(SavedList, WholeAndPartialFiles) {
  const std::vector<uint8_t> one = HandBuiltRecord();
  std::string file(one.begin(), one.end());
  file += file;
  EXPECT_EQ(ParseConfigFile("").agents.size(), 0u);
  EXPECT_FALSE(ParseConfigFile("").partial);

  ConfigFileContents two = ParseConfigFile(file);
  EXPECT_EQ(two.agents.size(), 2u);
  EXPECT_FALSE(two.partial);

  // Two records and 100 bytes more: both records, and the remainder noticed.
  ConfigFileContents extra = ParseConfigFile(file + std::string(100, 'x'));
  EXPECT_EQ(extra.agents.size(), 2u);
  EXPECT_TRUE(extra.partial);
  EXPECT_STREQ(extra.agents[1].record.systemName, "sys-name");

  // Less than one record.
  ConfigFileContents short_file = ParseConfigFile(file.substr(0, 1607));
  EXPECT_TRUE(short_file.agents.empty());
  EXPECT_TRUE(short_file.partial);
}

TEST(FilePath, WidePathsConvertWholeOrNotAtAll) {
  EXPECT_EQ(WidePathToNative(L"/tmp/a.cfg", 260), "/tmp/a.cfg");
  EXPECT_EQ(WidePathToNative(L"", 260), "");
  // 259 bytes fit with the terminator, 260 do not.
  EXPECT_TRUE(WidePathToNative(std::wstring(259, L'a'), 260).has_value());
  EXPECT_FALSE(WidePathToNative(std::wstring(260, L'a'), 260).has_value());
#ifndef _WIN32
  // UTF-8 (on Windows the narrow encoding is the system's code page, which
  // differs between machines): multi-byte characters count by their bytes.
  EXPECT_EQ(WidePathToNative(L"Ger\u00e4t \u20ac\U0001F600.cfg", 260),
            "Ger\xc3\xa4t \xe2\x82\xac\xf0\x9f\x98\x80.cfg");
  EXPECT_FALSE(WidePathToNative(std::wstring(130, L'\u00e4'), 260).has_value());
  EXPECT_TRUE(WidePathToNative(std::wstring(129, L'\u00e4'), 260).has_value());
#endif
  // A zero unit or a lone surrogate is no file name.
  EXPECT_FALSE(WidePathToNative(std::wstring(L"a\0b", 3), 260).has_value());
  EXPECT_FALSE(WidePathToNative(std::wstring(1, static_cast<wchar_t>(0xD800)), 260).has_value());
  EXPECT_FALSE(WidePathToNative(std::wstring(L"a\xDC00", 2), 260).has_value());
  // Past the last code point: only a unit of 32 bits can hold it.
  if constexpr (sizeof(wchar_t) == 4) {
    EXPECT_FALSE(
        WidePathToNative(std::wstring(1, static_cast<wchar_t>(0x110000)), 260).has_value());
  }
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    // No mkdtemp: a name of this program's run and a count.
    static std::atomic<int> count{0};
    static const auto run = std::chrono::steady_clock::now().time_since_epoch().count();
    dir_ = fs::temp_directory_path() /
           ("ferro-files-" + std::to_string(run) + "-" + std::to_string(count++));
    ASSERT_TRUE(fs::create_directory(dir_));
#else
    char tmpl[] = "/tmp/ferro-files-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
#endif
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
  }
  std::string Read(const std::string& name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  fs::path dir_;
};

using ReplaceFile = TempDir;

TEST_F(ReplaceFile, ReplacesWholeAndLeavesNoTemporaryFile) {
  Write("list.cfg", "old contents");
  ASSERT_TRUE(ReplaceFileContents((dir_ / "list.cfg").string(), "new"));
  EXPECT_EQ(Read("list.cfg"), "new");
  ASSERT_TRUE(ReplaceFileContents((dir_ / "fresh.cfg").string(), ""));
  EXPECT_EQ(fs::file_size(dir_ / "fresh.cfg"), 0u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

// Permission bits and symbolic links as Linux has them.
#ifndef _WIN32
TEST_F(ReplaceFile, KeepsThePermissionBitsOfTheReplacedFile) {
  Write("private.cfg", "old");
  fs::permissions(dir_ / "private.cfg", fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_TRUE(ReplaceFileContents((dir_ / "private.cfg").string(), "new"));
  EXPECT_EQ(fs::status(dir_ / "private.cfg").permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(ReplaceFile, FollowsALinkToTheFileItNames) {
  Write("real.cfg", "old");
  fs::create_symlink("real.cfg", dir_ / "link.cfg");
  ASSERT_TRUE(ReplaceFileContents((dir_ / "link.cfg").string(), "new"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.cfg"));
  EXPECT_EQ(Read("real.cfg"), "new");
}
#endif

TEST_F(ReplaceFile, FailureKeepsTheOldFile) {
  fs::create_directory(dir_ / "sub");
  // A folder cannot be replaced by a file, and a missing folder holds no file.
  EXPECT_FALSE(ReplaceFileContents((dir_ / "sub").string(), "x"));
  EXPECT_TRUE(fs::is_directory(dir_ / "sub"));
  EXPECT_FALSE(ReplaceFileContents((dir_ / "missing" / "a.cfg").string(), "x"));
  EXPECT_FALSE(ReplaceFileContents("", "x"));
  EXPECT_TRUE(fs::is_empty(dir_ / "sub"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

using SampleRequests = TempDir;

TEST_F(SampleRequests, ListsMatchingRegularFilesSortedByName) {
  EXPECT_FALSE(ListSampleRequests((dir_ / "none").string()).has_value());
  EXPECT_FALSE(ListSampleRequests(dir_.string()).has_value());  // empty folder
  for (const char* name : {"b.req.xml", "Device.Z.req.xml", "a.req.xml", "notes.txt",
                           "x.req.xml.bak", ".req.xml", "c.REQ.XML"}) {
    Write(name, "<x/>");
  }
  fs::create_directory(dir_ / "dir.req.xml");
  const auto names = ListSampleRequests(dir_.string());
  ASSERT_TRUE(names.has_value());
  EXPECT_EQ(*names, (std::vector<std::string>{"Device.Z.req.xml", "a.req.xml", "b.req.xml"}));
}

TEST_F(SampleRequests, ReadsTextWithCrLfAsLf) {
  Write("s.req.xml", "<a>\r\n<b>\r\r\n</b>\r</a>\r\n");
  EXPECT_EQ(ReadSampleRequest((dir_ / "s.req.xml").string()), "<a>\n<b>\r\n</b>\r</a>\n");
  Write("empty.req.xml", "");
  EXPECT_EQ(ReadSampleRequest((dir_ / "empty.req.xml").string()), "");
  EXPECT_FALSE(ReadSampleRequest((dir_ / "missing.req.xml").string()).has_value());
  EXPECT_FALSE(ReadSampleRequest(dir_.string()).has_value());  // a folder
  Write("big.req.xml", std::string(kMaxSampleBytes + 1, 'x'));
  EXPECT_FALSE(ReadSampleRequest((dir_ / "big.req.xml").string()).has_value());
  Write("limit.req.xml", std::string(kMaxSampleBytes, 'x'));
  EXPECT_EQ(ReadSampleRequest((dir_ / "limit.req.xml").string())->size(), kMaxSampleBytes);
}

TEST(SampleNames, OnlyNamesInsideTheFolder) {
  EXPECT_TRUE(IsPlainSampleName("Device.GetReqXmlList.req.xml"));
  for (const char* bad : {"", "../cfg/define.ecf", "..", "a/b.req.xml", "a\\b.req.xml",
                          "..\\x.req.xml", "/etc/passwd", "x..req.xml"}) {
    EXPECT_FALSE(IsPlainSampleName(bad)) << bad;
  }
  EXPECT_FALSE(IsPlainSampleName(std::string("a\0b", 3)));
}

}  // namespace
}  // namespace ferro
