// SwitchInfo <-> AgentRecord conversion and its text helpers.
#include "service/switchinfo_convert.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/text.h"
#include "protocol/agent_fields.h"
#include "soapH.h"

namespace ferro {
namespace {

ns__SwitchInfo RoundTrip(const ns__SwitchInfo& in, AgentRecord* record = nullptr) {
  AgentRecord r;
  SwitchInfoToAgentRecord(in, r);
  if (record != nullptr) *record = r;
  ns__SwitchInfo out;
  AgentRecordToSwitchInfo(r, out);
  return out;
}

TEST(MacText, ParseAndFormat) {
  uint8_t mac[6] = {};
  EXPECT_EQ(ParseMacText("00-1a-2B-3c-4D-5e", mac), 0);
  EXPECT_EQ(FormatMacText(mac), "00-1A-2B-3C-4D-5E");
  const uint8_t all[6] = {0xFF, 0xFE, 0x0A, 0, 1, 0x80};
  EXPECT_EQ(FormatMacText(all), "FF-FE-0A-00-01-80");
}

TEST(MacText, BadSyntaxLeavesOutputAlone) {
  for (const char* bad : {"00:1A:2B:3C:4D:5E", "00-1A-2B-3C-4D-5", "00-1A-2B-3C:4D-5E",
                          "00-1A-2B-3C-4D-5E-", "0G-1A-2B-3C-4D-5E", "", "001A2B3C4D5E00000"}) {
    uint8_t mac[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(ParseMacText(bad, mac), -1) << bad;
    EXPECT_EQ(mac[0], 9) << bad;
  }
}

TEST(IpText, ParseLikeFourDecimalsWithLowEightBits) {
  using A = std::array<uint8_t, 4>;
  EXPECT_EQ(ParseIpText("192.168.0.1"), (A{192, 168, 0, 1}));
  EXPECT_EQ(ParseIpText(""), (A{0, 0, 0, 0}));
  EXPECT_EQ(ParseIpText("256.1.1.1"), (A{0, 1, 1, 1}));
  EXPECT_EQ(ParseIpText("-1.0.0.0"), (A{255, 0, 0, 0}));
  EXPECT_EQ(ParseIpText("10.0.0.5 trailing"), (A{10, 0, 0, 5}));
  EXPECT_EQ(ParseIpText("10.20"), (A{10, 20, 0, 0}));
  EXPECT_EQ(ParseIpText(" 1. 2.3.4"), (A{1, 2, 3, 4}));
  EXPECT_EQ(ParseIpText("99999999999999999999.1.2.3")[1], 1);
  EXPECT_EQ(ParseIpText("abc"), (A{0, 0, 0, 0}));
}

TEST(IpText, Format) {
  const uint8_t a[4] = {192, 168, 0, 1}, z[4] = {};
  EXPECT_EQ(FormatIpText(a), "192.168.0.1");
  EXPECT_EQ(FormatIpText(z), "0.0.0.0");
}

// The hand-written formatters against the printf formats they replace, for
// every byte value in every position.
TEST(AddressText, FormattersMatchPrintf) {
  for (unsigned v = 0; v < 256; ++v) {
    for (int pos = 0; pos < 6; ++pos) {
      uint8_t b[6] = {1, 22, 133, 0, 255, 9};
      b[pos] = static_cast<uint8_t>(v);
      char want[32];
      std::snprintf(want, sizeof want, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
      char ip[kIpTextSize];
      ASSERT_EQ(FormatIpText(b, ip), std::strlen(want));
      ASSERT_STREQ(ip, want);
      ASSERT_EQ(FormatIpText(b), want);
      std::snprintf(want, sizeof want, "%02X-%02X-%02X-%02X-%02X-%02X", b[0], b[1], b[2], b[3],
                    b[4], b[5]);
      char mac[kMacTextSize];
      FormatMacText(b, mac);
      ASSERT_STREQ(mac, want);
      ASSERT_EQ(FormatMacText(b), want);
    }
  }
  const uint8_t widest[4] = {255, 255, 255, 255};
  EXPECT_EQ(FormatIpText(widest).size(), kIpTextSize - 1);
}

TEST(AddressText, MacKeyIsOneToOneWithTheText) {
  uint8_t a[6] = {0, 0, 0, 0, 0, 1}, b[6] = {1, 0, 0, 0, 0, 0}, c[6] = {0xFF, 0, 0, 0, 0, 0};
  EXPECT_NE(MacKey(a), MacKey(b));
  EXPECT_EQ(MacKey(c), 0xFF0000000000u);
  uint8_t same[6];
  ASSERT_EQ(ParseMacText(FormatMacText(c), same), 0);
  EXPECT_EQ(MacKey(same), MacKey(c));
}

TEST(CodePage, Windows1252) {
  EXPECT_EQ(WideToAnsi(L"\u00FC\u20AC", 20), "\xFC\x80");
  EXPECT_EQ(WideToAnsi(L"\u4E2D", 20), "?");
  EXPECT_EQ(AnsiToWide("\xFC\x80\x81", 21), L"\u00FC\u20AC\u0081");
  EXPECT_EQ(WideToAnsi(std::wstring(30, L'a'), 20).size(), 20u);
  // A character beyond the first 65536 (two units where wchar_t has 16 bits)
  // is one character the code page lacks: one '?', never one per unit.
  EXPECT_EQ(WideToAnsi(L"\U0001F600x", 20), "?x");
  EXPECT_EQ(WideToAnsi(L"ab\U0001F600c", 3), "ab?");
}

TEST(CodePage, CombiningMarksAreComposedFirst) {
  // A base letter and a combining mark become the code page's composed letter.
  EXPECT_EQ(WideToAnsi(L"Mu\u0308ller", 20), "M\xFCller");
  EXPECT_EQ(WideToAnsi(L"C\u0327a\u0300 S\u030C", 20), "\xC7\xE0 \x8A");
  // The last character can be composed too, and the pair counts as one byte.
  EXPECT_EQ(WideToAnsi(L"abcy\u0308", 4), "abc\xFF");
  EXPECT_EQ(WideToAnsi(L"abcde\u0301", 5), "abcd\xE9");
  // No composed form in the code page (c with caron), no composed form at all
  // (x with diaeresis), a mark alone, a mark after a non-ASCII letter: one by one.
  EXPECT_EQ(WideToAnsi(L"c\u030C", 20), "c?");
  EXPECT_EQ(WideToAnsi(L"x\u0308", 20), "x?");
  EXPECT_EQ(WideToAnsi(L"\u0308u", 20), "?u");
  EXPECT_EQ(WideToAnsi(L"\u00FC\u0308", 20), "\xFC?");
  // Only the mark right after the base is taken into the letter.
  EXPECT_EQ(WideToAnsi(L"u\u0308\u0308", 20), "\xFC?");
  // A zero unit ends the text even before a mark.
  EXPECT_EQ(WideToAnsi(std::wstring(L"u\0\u0308", 3), 20), "u");
}

TEST(SwitchInfoConversion, NamesFollowTheUtf8Flag) {
  ns__SwitchInfo in;
  in.systemName = L"M\u00FCller";
  in.location = L"B\u00FCro";
  AgentRecord r;
  in.funBitmap0 = kNameUtf8Flag;
  ns__SwitchInfo out = RoundTrip(in, &r);
  EXPECT_STREQ(r.systemName, "M\xC3\xBCller");
  EXPECT_EQ(out.systemName, in.systemName);
  EXPECT_EQ(out.location, in.location);

  in.funBitmap0 = 0;
  out = RoundTrip(in, &r);
  EXPECT_STREQ(r.systemName, "M\xFCller");
  EXPECT_EQ(out.systemName, in.systemName);
}

TEST(SwitchInfoConversion, LongNamesAreCutToTwentyBytes) {
  ns__SwitchInfo in;
  in.systemName = std::wstring(30, L'n');
  for (uint32_t flag : {kNameUtf8Flag, 0u}) {
    in.funBitmap0 = flag;
    AgentRecord r;
    const ns__SwitchInfo out = RoundTrip(in, &r);
    EXPECT_EQ(std::string(r.systemName), std::string(20, 'n'));
    EXPECT_EQ(out.systemName, std::wstring(20, L'n'));
  }
}

TEST(SwitchInfoConversion, FourByteNameCharacterComesBackWhole) {
  AgentRecord r = ZeroAgentRecord();
  r.funBitmap0 = kNameUtf8Flag;
  std::strcpy(r.location, "\xF0\x9F\x98\x80");
  ns__SwitchInfo out;
  // Well-formed on both systems: the pair is one character, not two lone halves.
  EXPECT_TRUE(AgentRecordToSwitchInfo(r, out));
  // One unit where wchar_t has 32 bits, a surrogate pair where it has 16.
  EXPECT_EQ(out.location, L"\U0001F600");
}

TEST(SwitchInfoConversion, NumbersAddressesAndMac) {
  ns__SwitchInfo in;
  in.agentIpAddr = "";
  in.agentGateway = "10.0.0.1";
  in.radiusIP5G = "172.16.0.9";
  in.macAddr = "00-1a-2B-3c-4D-5e";
  in.radiusPort = 70000;
  in.txPowerLevel5G = 0x12345;
  in.groupTimer = 0xFFFFFFFF;
  in.isLoaderMode = 1;
  in.wifiRoaming = 1;
  in.funBitmap3 = 0xA5A5A5A5;
  AgentRecord r;
  const ns__SwitchInfo out = RoundTrip(in, &r);
  EXPECT_EQ(out.agentIpAddr, "0.0.0.0");
  EXPECT_EQ(out.agentGateway, "10.0.0.1");
  EXPECT_EQ(out.radiusIP5G, "172.16.0.9");
  EXPECT_EQ(r.radiusIP5G[0], 172);
  EXPECT_EQ(out.macAddr, "00-1A-2B-3C-4D-5E");
  EXPECT_EQ(r.radiusPort, 4464);
  EXPECT_EQ(out.radiusPort, 4464u);
  EXPECT_EQ(out.txPowerLevel5G, 0x2345u);
  EXPECT_EQ(out.groupTimer, 0xFFFFFFFFu);
  EXPECT_EQ(out.isLoaderMode, 1);
  EXPECT_EQ(out.wifiRoaming, 1);
  EXPECT_EQ(out.funBitmap3, 0xA5A5A5A5u);
}

TEST(SwitchInfoConversion, BadMacLeavesZeroAndTheRestIsFilled) {
  ns__SwitchInfo in;
  in.macAddr = "00:1A:2B:3C:4D:5E";
  in.productName = "GS-108";
  in.vlanID = 12;
  AgentRecord r;
  const ns__SwitchInfo out = RoundTrip(in, &r);
  EXPECT_EQ(out.macAddr, "00-00-00-00-00-00");
  EXPECT_EQ(out.productName, "GS-108");
  EXPECT_EQ(out.vlanID, 12);
}

TEST(SwitchInfoConversion, TextsAreCutToTheirFieldAndNeighboursSurvive) {
  ns__SwitchInfo in;
  in.fwDomain = "TOOLONG";  // field of 5
  in.wifiSupportChannel = std::string(200, 'c');
  in.wifiSupportChannel5G = "1,6,11";
  in.wifiChannelWidth = "20MHz";
  AgentRecord r;
  const ns__SwitchInfo out = RoundTrip(in, &r);
  EXPECT_EQ(out.fwDomain, "TOOL");
  EXPECT_EQ(out.wifiSupportChannel, std::string(100, 'c'));
  EXPECT_EQ(out.wifiSupportChannel5G, "1,6,11");
  EXPECT_EQ(out.wifiChannelWidth, "20MHz");
}

TEST(SwitchInfoConversion, FullFieldWithoutNulReadsAtMostItsWidth) {
  AgentRecord r = ZeroAgentRecord();
  std::memset(r.fwDomain, 'D', sizeof r.fwDomain);  // no NUL, as a loaded file could hold
  std::memset(r.systemName, 'S', sizeof r.systemName);
  std::memset(r.location, 'L', sizeof r.location);
  ns__SwitchInfo out;
  AgentRecordToSwitchInfo(r, out);
  EXPECT_EQ(out.fwDomain, "DDDDD");
  EXPECT_EQ(out.systemName, std::wstring(21, L'S'));  // ANSI: up to 21 units
  r.funBitmap0 = kNameUtf8Flag;
  AgentRecordToSwitchInfo(r, out);
  EXPECT_EQ(out.location, std::wstring(20, L'L'));  // UTF-8: at most 20 units
}

TEST(SwitchInfoConversion, TrapMessageIsNeverCarried) {
  AgentRecord r = ZeroAgentRecord();
  std::strcpy(r.trapMessage, "link down");
  ns__SwitchInfo info;
  AgentRecordToSwitchInfo(r, info);
  AgentRecord back;
  SwitchInfoToAgentRecord(info, back);
  EXPECT_STREQ(back.trapMessage, "");
}

// One entry as the service's runtime writes it (UTF-8 texts passed through).
std::string Serialised(const ns__SwitchInfo& info) {
  struct soap soap;
  soap_init2(&soap, SOAP_C_UTFSTRING, SOAP_C_UTFSTRING);
  std::ostringstream out;
  soap.os = &out;
  EXPECT_EQ(soap_write_ns__SwitchInfo(&soap, &info), SOAP_OK);
  soap_destroy(&soap);
  soap_end(&soap);
  soap_done(&soap);
  return out.str();
}

// A large list streams unrepaired when every entry is said to be
// well-formed, so that may only be said of an entry whose serialisation the
// repair pass leaves as it is. An odd byte at every offset of the record in
// turn (a control byte, a Windows-1252 letter, a UTF-8 lead byte), with names
// read either way: wherever the flag stays, the entry needs no repair; and
// it drops for odd bytes in texts.
TEST(SwitchInfoConversion, WellFormedOnlyWhenTheSerialisedEntryNeedsNoRepair) {
  AgentRecord plain;
  std::memset(&plain, 'a', sizeof plain);
  static constexpr unsigned char kOdd[] = {0x01, 0xE9, 0xC3};
  for (const bool utf8 : {false, true}) {
    plain.funBitmap0 = utf8 ? kNameUtf8Flag : 0;
    ns__SwitchInfo info;
    ASSERT_TRUE(AgentRecordToSwitchInfo(plain, info));
    ASSERT_FALSE(xml::RepairText(Serialised(info)));
    size_t dropped = 0;
    for (size_t i = 0; i < sizeof plain; ++i) {
      AgentRecord r = plain;
      reinterpret_cast<unsigned char*>(&r)[i] = kOdd[i % 3];
      if (AgentRecordToSwitchInfo(r, info)) {
        const std::string xml = Serialised(info);
        EXPECT_FALSE(xml::RepairText(xml)) << "byte " << i << ": " << xml;
      } else {
        ++dropped;
      }
    }
    EXPECT_GT(dropped, 300u) << "utf8 " << utf8;
  }
  // Characters XML allows stay well-formed; a control character in a name,
  // or a surrogate's bytes in a text, do not.
  AgentRecord r = ZeroAgentRecord();
  r.funBitmap0 = kNameUtf8Flag;
  std::strcpy(r.systemName, "caf\xC3\xA9 \xE2\x82\xAC");
  std::strcpy(r.productName, "tab\there & <there>");
  ns__SwitchInfo info;
  EXPECT_TRUE(AgentRecordToSwitchInfo(r, info));
  std::strcpy(r.location, "a\x02");
  EXPECT_FALSE(AgentRecordToSwitchInfo(r, info));
  r = ZeroAgentRecord();
  std::strcpy(r.fwVersion, "\xED\xA0\x80");
  EXPECT_FALSE(AgentRecordToSwitchInfo(r, info));
}

// The field table is the service header's SwitchInfo: the members the
// runtime writes are the table's first rows, name for name and in order,
// and each row's field alone goes through both conversions and comes back.
TEST(SwitchInfoConversion, FieldTableIsTheContractsSwitchInfo) {
  ns__SwitchInfo info;
  AgentRecordToSwitchInfo(ZeroAgentRecord(), info);
  const std::string xml = Serialised(info);
  // Unprefixed start tags: the members (the element itself is ns:SwitchInfo).
  std::vector<std::string> written;
  const auto nameChar = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
  };
  for (size_t at = xml.find('<'); at != std::string::npos; at = xml.find('<', at + 1)) {
    size_t end = at + 1;
    while (end < xml.size() && nameChar(xml[end])) ++end;
    if (end > at + 1 && end < xml.size() && xml[end] != ':')
      written.push_back(xml.substr(at + 1, end - at - 1));
  }
  std::vector<std::string> table;
  for (size_t i = 0; i < kSwitchInfoFieldCount; ++i) table.emplace_back(kAgentFields[i].name);
  EXPECT_EQ(written, table);

  for (size_t i = 0; i < kSwitchInfoFieldCount; ++i) {
    const AgentField& f = kAgentFields[i];
    AgentRecord r = ZeroAgentRecord();
    auto* field = reinterpret_cast<uint8_t*>(&r) + f.offset;
    switch (f.shape) {
      case FieldShape::kText:
      case FieldShape::kName:
        std::memset(field, 'k', f.size - 1);
        break;
      case FieldShape::kAddress:
      case FieldShape::kMac:
        for (size_t b = 0; b < f.size; ++b) field[b] = static_cast<uint8_t>(0xA0 + b);
        break;
      case FieldShape::kNumber:
        field[0] = 0x34;
        field[1] = 0x12;
        break;
    }
    AgentRecord back;
    AgentRecordToSwitchInfo(r, info);
    SwitchInfoToAgentRecord(info, back);
    EXPECT_EQ(std::memcmp(&back, &r, sizeof r), 0) << f.name;
  }
}

}  // namespace
}  // namespace ferro
