// The agent TLV encoder and decoder against item bytes written out by hand
// from the item catalogue.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "protocol/agent_decoder.h"
#include "protocol/agent_encoder.h"
#include "protocol/packet.h"

namespace ferro {
namespace {

using Bytes = std::vector<uint8_t>;

template <size_t N>
void SetText(char (&field)[N], const char* text) {
  std::strncpy(field, text, N - 1);
}

// Encodes into a fresh request buffer and returns the item bytes.
Bytes Encode(const AgentRecord& r, int kind = kEncodeStatic) {
  uint8_t buffer[kMaxPacketSize] = {};
  const size_t n = EncodeAgentTlvs(r, kind, buffer);
  return Bytes(buffer + 40, buffer + 40 + n);
}

// A datagram: 40-byte header with `opcode` and the agent MAC, then `items`.
Bytes Reply(uint16_t opcode, const Bytes& items) {
  Bytes p = {0x00, 0x02, 0x00, 0x05, 0x00, 0x1A, 0x2B,
             0x3C, 0x4D, 0x5E, 0x00, 0x01, 0x00, static_cast<uint8_t>(opcode)};
  p.resize(40, 0);
  p.insert(p.end(), items.begin(), items.end());
  return p;
}

AgentRecord Decode(const Bytes& packet, AgentRecord r = ZeroAgentRecord(),
                   DecodeOutcome expected = DecodeOutcome::kOk) {
  EXPECT_EQ(DecodeAgentPacket(packet.data(), packet.size(), r), expected);
  return r;
}

// ---- Encoder --------------------------------------------------------------

TEST(Encoder, NoBitmapMeansNoItems) {
  AgentRecord r = ZeroAgentRecord();
  SetText(r.productName, "switch");
  EXPECT_TRUE(Encode(r).empty());
}

TEST(Encoder, Fb0Bit2WritesLocationDnsAndRadiusAddressesInOrder) {
  AgentRecord r = ZeroAgentRecord();
  r.funBitmap0 = 1u << 2;
  SetText(r.location, "Lab");
  const uint8_t dns1[] = {8, 8, 8, 8}, dns2[] = {1, 1, 1, 1};
  const uint8_t rad[] = {10, 0, 0, 1}, rad5[] = {10, 0, 0, 2};
  std::memcpy(r.agentDNS1, dns1, 4);
  std::memcpy(r.agentDNS2, dns2, 4);
  std::memcpy(r.radiusIP, rad, 4);
  std::memcpy(r.radiusIP5G, rad5, 4);
  const Bytes expected = {0x00, 0x03, 0x00, 0x07, 'L', 'a', 'b',      // 3
                          0x00, 0x29, 0x00, 0x08, 8,   8,   8,   8,   // 41
                          0x00, 0x2A, 0x00, 0x08, 1,   1,   1,   1,   // 42
                          0x00, 0x6F, 0x00, 0x08, 10,  0,   0,   1,   // 111
                          0x00, 0x8C, 0x00, 0x08, 10,  0,   0,   2};  // 140
  EXPECT_EQ(Encode(r), expected);
}

TEST(Encoder, DhcpKindSendsZeroAddresses) {
  AgentRecord r = ZeroAgentRecord();
  r.funBitmap0 = (1u << 3) | (1u << 4) | (1u << 5);
  const uint8_t ip[] = {192, 168, 1, 20}, mask[] = {255, 255, 255, 0}, gw[] = {192, 168, 1, 1};
  std::memcpy(r.agentIpAddr, ip, 4);
  std::memcpy(r.agentNetmask, mask, 4);
  std::memcpy(r.agentGateway, gw, 4);
  const Bytes dhcp = {0x00, 0x04, 0x00, 0x08, 0, 0, 0, 0,   // 4
                      0x00, 0x05, 0x00, 0x08, 0, 0, 0, 0,   // 5
                      0x00, 0x06, 0x00, 0x08, 0, 0, 0, 0};  // 6
  EXPECT_EQ(Encode(r, kEncodeDhcp), dhcp);
  const Bytes fixed = {0x00, 0x04, 0x00, 0x08, 192,  168,  1,    20,   0x00, 0x05, 0x00, 0x08,
                       255,  255,  255,  0,    0x00, 0x06, 0x00, 0x08, 192,  168,  1,    1};
  EXPECT_EQ(Encode(r, kEncodeStatic), fixed);
  EXPECT_EQ(Encode(r, 0), fixed) << "any kind other than 5 is static";
}

TEST(Encoder, DhcpModeFormFollowsInterfaceVersion) {
  AgentRecord r = ZeroAgentRecord();
  r.funBitmap0 = 1u << 9;
  r.dhcpMode = 1;
  r.agentInterfaceVer = 1;
  EXPECT_EQ(Encode(r), (Bytes{0x00, 0x0A, 0x00, 0x05, 0x01}));
  r.agentInterfaceVer = 4;
  EXPECT_EQ(Encode(r), (Bytes{0x00, 0x0A, 0x00, 0x06, 0x00, 0x01}));
  r.dhcpMode = 3;
  EXPECT_TRUE(Encode(r).empty());
}

TEST(Encoder, LeaveUnchangedValuesAreNeverSent) {
  AgentRecord r = ZeroAgentRecord();
  r.funBitmap0 = (1u << 9) | (1u << 21) | (1u << 23) | (1u << 25);
  r.dhcpMode = r.lldpMode = r.snmpMode = 3;
  r.groupTimer = 0xFFFFFFFF;
  EXPECT_TRUE(Encode(r).empty());
  r.lldpMode = 1;
  r.groupTimer = 0x12345678;
  EXPECT_EQ(Encode(r), (Bytes{0x00, 0x18, 0x00, 0x06, 0x00, 0x01,  // 24 before 22
                              0x00, 0x16, 0x00, 0x08, 0x12, 0x34, 0x56, 0x78}));
}

TEST(Encoder, NewPasswordOnlyWhenNotEmptyOtherTextsEvenWhenEmpty) {
  AgentRecord r = ZeroAgentRecord();
  r.funBitmap0 = (1u << 7) | (1u << 8);
  EXPECT_EQ(Encode(r), (Bytes{0x00, 0x09, 0x00, 0x04}));
  SetText(r.newPasseord, "pw");
  EXPECT_EQ(Encode(r), (Bytes{0x00, 0x09, 0x00, 0x04, 0x00, 0x08, 0x00, 0x06, 'p', 'w'}));
}

TEST(Encoder, Fb1Bit2BlockWithFwDomainThenBandSteering) {
  AgentRecord r = ZeroAgentRecord();
  r.funBitmap1 = 1u << 2;
  r.vlanID = 0x0102;
  SetText(r.fwDomain, "US");
  r.wifiBandSteering = 0x0101;                                 // only the low byte travels
  const Bytes expected = {0x00, 0x2B, 0x00, 0x06, 0x01, 0x02,  // 43 vlanID
                          0x00, 0x2C, 0x00, 0x04,              // 44 systemTime
                          0x00, 0x65, 0x00, 0x04,              // 101 wifiSSID
                          0x00, 0x6A, 0x00, 0x04,              // 106 wifiChannelWidth
                          0x00, 0x6E, 0x00, 0x04,              // 110 wifiSupportChannel
                          0x00, 0x70, 0x00, 0x06, 0x00, 0x00,  // 112 radiusPort
                          0x00, 0x71, 0x00, 0x04,              // 113 radiusSecret
                          0x00, 0x74, 0x00, 0x05, 0x00,        // 116 wifiSSIDIsolution
                          0x00, 0x75, 0x00, 0x06, 0x00, 0x00,  // 117 wifiVlanID
                          0x00, 0x83, 0x00, 0x04,              // 131 wifiSSID5G
                          0x00, 0x88, 0x00, 0x04,              // 136 wifiChannelWidth5G
                          0x00, 0x8B, 0x00, 0x04,              // 139 wifiSupportChannel5G
                          0x00, 0x8D, 0x00, 0x06, 0x00, 0x00,  // 141 radiusPort5G
                          0x00, 0x8E, 0x00, 0x04,              // 142 radiusSecret5G
                          0x00, 0x91, 0x00, 0x05, 0x00,        // 145 wifiSSIDIsolution5G
                          0x00, 0x92, 0x00, 0x06, 0x00, 0x00,  // 146 wifiVlanID5G
                          0x00, 0xA1, 0x00, 0x06, 'U',  'S',   // 161 fwDomain
                          0x00, 0xA3, 0x00, 0x05, 0x01};       // 163 wifiBandSteering
  EXPECT_EQ(Encode(r), expected);
}

// Walks the item list and returns the types in order.
std::vector<int> Types(const Bytes& items) {
  std::vector<int> types;
  for (size_t pos = 0; pos + 4 <= items.size();) {
    types.push_back(items[pos] << 8 | items[pos + 1]);
    pos += static_cast<size_t>(items[pos + 2] << 8 | items[pos + 3]);
  }
  return types;
}

template <size_t N>
void Fill(char (&field)[N]) {
  std::memset(field, 'z', N - 1);
}

TEST(Encoder, EverythingSelectedGivesAllItemsInOrderAndFits) {
  AgentRecord r = ZeroAgentRecord();
  r.funBitmap0 = r.funBitmap1 = r.funBitmap2 = 0xFFFFFFFF;
  SetText(r.newPasseord, "x");
  Fill(r.productName), Fill(r.systemName), Fill(r.location), Fill(r.systemTime);
  Fill(r.controllerIPURL), Fill(r.loginUser), Fill(r.newPasseord), Fill(r.oldPassword);
  Fill(r.lldpAuthenkey), Fill(r.wifiSSID), Fill(r.wifiKey), Fill(r.wifiSecurity);
  Fill(r.radiusSecret), Fill(r.wifi80211Mode), Fill(r.bandwidthControl), Fill(r.rssiScanner);
  Fill(r.wifiSSID5G), Fill(r.wifiKey5G), Fill(r.wifiSecurity5G), Fill(r.radiusSecret5G);
  Fill(r.wifi80211Mode5G), Fill(r.bandwidthControl5G), Fill(r.rssiScanner5G), Fill(r.wifiBand);
  Fill(r.fwDomain), Fill(r.wifiSupportChannel), Fill(r.wifiSupportChannel5G);
  Fill(r.wifiChannelWidth), Fill(r.wifiChannelWidth5G);
  const Bytes items = Encode(r);
  EXPECT_EQ(items.size(), 1358u);
  const std::vector<int> order = {9,   1,   2,   3,   4,   5,   6,   41,  42,  7,   8,   10,  24,
                                  26,  22,  25,  27,  28,  29,  43,  44,  50,  51,  52,  108, 100,
                                  101, 103, 102, 104, 105, 106, 107, 110, 111, 112, 113, 116, 117,
                                  118, 119, 120, 130, 131, 133, 132, 134, 135, 136, 137, 139, 140,
                                  141, 142, 145, 146, 147, 148, 149, 161, 163, 164};
  EXPECT_EQ(Types(items), order);
}

TEST(Encoder, PasswordItems) {
  uint8_t buffer[kMaxPacketSize] = {};
  EXPECT_EQ(AppendPasswordTlvs("", "", buffer), 8u);
  EXPECT_EQ(Bytes(buffer + 40, buffer + 48),
            (Bytes{0x00, 0x09, 0x00, 0x04, 0x00, 0x08, 0x00, 0x04}));

  EXPECT_EQ(AppendPasswordTlvs("ab", "c", buffer), 11u);
  EXPECT_EQ(Bytes(buffer + 40, buffer + 51),
            (Bytes{0x00, 0x09, 0x00, 0x06, 'a', 'b', 0x00, 0x08, 0x00, 0x05, 'c'}));

  EXPECT_EQ(AppendPasswordTlv("secretXYZ", 6, buffer), 10u);
  EXPECT_EQ(Bytes(buffer + 40, buffer + 50),
            (Bytes{0x00, 0x09, 0x00, 0x0A, 's', 'e', 'c', 'r', 'e', 't'}));
  // Too long for the datagram: nothing written.
  const std::string huge(kMaxPacketSize, 'h');
  EXPECT_EQ(AppendPasswordTlv(huge.data(), huge.size(), buffer), 0u);
}

// ---- Decoder --------------------------------------------------------------

TEST(Decoder, BareHeaderSetsOnlyHeaderFieldsAndModes) {
  const AgentRecord r = Decode(Reply(kOpDiscoverReply, {}));
  AgentRecord expected = ZeroAgentRecord();
  expected.agentProtoVer = 2;
  expected.agentFamilyType = 5;
  expected.agentInterfaceVer = 1;
  const uint8_t mac[] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  std::memcpy(expected.macAddr, mac, 6);
  expected.dhcpMode = expected.lldpMode = expected.snmpMode = 2;
  EXPECT_EQ(std::memcmp(&r, &expected, sizeof r), 0);
}

TEST(Decoder, LoaderModeFromOpcode) {
  EXPECT_EQ(Decode(Reply(kOpLoaderDiscoverReply, {})).isLoaderMode, 1);
  EXPECT_EQ(Decode(Reply(kOpLoaderCommandReply, {})).isLoaderMode, 1);
  AgentRecord before = ZeroAgentRecord();
  before.isLoaderMode = 1;
  EXPECT_EQ(Decode(Reply(kOpDiscoverReply, {}), before).isLoaderMode, 0);
}

TEST(Decoder, ProductNameLosesTrailingSpaces) {
  AgentRecord r = Decode(Reply(2, {0x00, 0x01, 0x00, 0x0A, 'a', 'b', 'c', ' ', ' ', ' '}));
  EXPECT_STREQ(r.productName, "abc");
  r = Decode(Reply(2, {0x00, 0x01, 0x00, 0x06, ' ', ' '}));
  EXPECT_STREQ(r.productName, "");
  // Other texts keep their spaces.
  r = Decode(Reply(2, {0x00, 0x02, 0x00, 0x06, 'a', ' '}));
  EXPECT_STREQ(r.systemName, "a ");
}

TEST(Decoder, SmallNumbersInOneOrTwoBytes) {
  EXPECT_EQ(Decode(Reply(2, {0x00, 0x0A, 0x00, 0x05, 0x01})).dhcpMode, 1);
  EXPECT_EQ(Decode(Reply(2, {0x00, 0x0A, 0x00, 0x06, 0x00, 0x01})).dhcpMode, 1);
  EXPECT_EQ(Decode(Reply(2, {0x00, 0x64, 0x00, 0x06, 0x01, 0x02})).wifiEnable, 0x0102);
  EXPECT_EQ(Decode(Reply(2, {0x00, 0x6D, 0x00, 0x05, 0x9C})).wifiCurrentChannel, 0x9C);
}

TEST(Decoder, EmptyPortsZeroOrKeep) {
  AgentRecord before = ZeroAgentRecord();
  before.radiusPort = 1812;
  before.radiusPort5G = 1813;
  const AgentRecord r = Decode(Reply(2, {0x00, 0x70, 0x00, 0x04, 0x00, 0x8D, 0x00, 0x04}), before);
  EXPECT_EQ(r.radiusPort, 0);
  EXPECT_EQ(r.radiusPort5G, 1813);
  EXPECT_EQ(Decode(Reply(2, {0x00, 0x8D, 0x00, 0x05, 0x07})).radiusPort5G, 7);
  EXPECT_EQ(Decode(Reply(2, {0x00, 0x33, 0x00, 0x04}), before).controlledByAC, 0);
}

TEST(Decoder, RadiusAddressOfOtherLengthClearsOnlyItsOwnField) {
  AgentRecord before = ZeroAgentRecord();
  std::memset(before.radiusIP, 9, 4);
  std::memset(before.radiusIP5G, 9, 4);
  AgentRecord r = Decode(Reply(2, {0x00, 0x6F, 0x00, 0x06, 1, 2}), before);
  EXPECT_EQ(r.radiusIP[0] | r.radiusIP[1] | r.radiusIP[2] | r.radiusIP[3], 0);
  r = Decode(Reply(2, {0x00, 0x8C, 0x00, 0x06, 1, 2}), before);
  EXPECT_EQ(r.radiusIP5G[0] | r.radiusIP5G[3], 0);
  EXPECT_EQ(r.radiusIP[0], 9);
  r = Decode(Reply(2, {0x00, 0x6F, 0x00, 0x08, 1, 2, 3, 4}), before);
  EXPECT_EQ(r.radiusIP[3], 4);
}

TEST(Decoder, FixedSizeItemsIgnoreTheirLengthField) {
  // Item 4 says 6 but is taken as 8, so item 2 starts 8 bytes later.
  AgentRecord r = Decode(Reply(2, {0x00, 0x04, 0x00, 0x06, 192, 168, 0, 9,  //
                                   0x00, 0x02, 0x00, 0x05, 'n'}));
  EXPECT_EQ(r.agentIpAddr[3], 9);
  EXPECT_STREQ(r.systemName, "n");
  // Item 21 (fixed 16-bit) says 5 but takes 6.
  r = Decode(Reply(2, {0x00, 0x15, 0x00, 0x05, 0x1F, 0x90, 0x00, 0x03, 0x00, 0x05, 'L'}));
  EXPECT_EQ(r.httpPort, 8080);
  EXPECT_STREQ(r.location, "L");
  // Even a length field below the item header does not stop a fixed-size
  // item: one bad length must not hide every later item.
  r = Decode(Reply(2, {0x00, 0x04, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x07,  // address, says 0
                       0x00, 0x1B, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00,  // 27 (u32), says 2
                       0x00, 0x0C, 0x00, 0x01, 0x00, 0x05,              // 12 (u16), says 1
                       0x00, 0x81, 0x00, 0x03,                          // bitmap, says 3
                       0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02,  //
                       0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04,  //
                       0x00, 0x02, 0x00, 0x05, 'z'}));
  EXPECT_EQ(r.agentIpAddr[3], 7);
  EXPECT_EQ(r.upgradeDelayTime, 0x100u);
  EXPECT_EQ(r.productType, 5);
  EXPECT_EQ(r.funBitmap3, 4u);
  EXPECT_STREQ(r.systemName, "z");
}

TEST(Decoder, NumbersBigEndian) {
  const AgentRecord r = Decode(Reply(2, {0x00, 0x16, 0x00, 0x08, 0x12, 0x34, 0x56, 0x78,  // 22
                                         0x00, 0x1B, 0x00, 0x08, 0x00, 0x00, 0x01, 0x00,  // 27
                                         0x00, 0x0C, 0x00, 0x06, 0xAB, 0xCD,              // 12
                                         0x00, 0x18, 0x00, 0x06, 0x00, 0x01}));           // 24
  EXPECT_EQ(r.groupTimer, 0x12345678u);
  EXPECT_EQ(r.upgradeDelayTime, 256u);
  EXPECT_EQ(r.productType, 0xABCD);
  EXPECT_EQ(r.lldpMode, 1);
  EXPECT_EQ(r.snmpMode, 2) << "absent mode item gives 2";
}

TEST(Decoder, BitmapWordsOnlyFromItem129) {
  AgentRecord before = ZeroAgentRecord();
  before.funBitmap2 = 77;
  EXPECT_EQ(Decode(Reply(2, {}), before).funBitmap2, 77u);
  const AgentRecord r = Decode(
      Reply(2, {0x00, 0x81, 0x00, 0x14, 0x20, 0, 0, 0x01, 0, 0, 0, 2, 0, 0, 0, 3, 0x80, 0, 0, 0}));
  EXPECT_EQ(r.funBitmap0, 0x20000001u);
  EXPECT_EQ(r.funBitmap1, 2u);
  EXPECT_EQ(r.funBitmap2, 3u);
  EXPECT_EQ(r.funBitmap3, 0x80000000u);
}

TEST(Decoder, NewPasswordSkippedOldPasswordStored) {
  const AgentRecord r = Decode(Reply(2, {0x00, 0x08, 0x00, 0x06, 'n', 'p',  //
                                         0x00, 0x09, 0x00, 0x06, 'o', 'p'}));
  EXPECT_STREQ(r.newPasseord, "");
  EXPECT_STREQ(r.oldPassword, "op");
}

TEST(Decoder, UnknownItemsSkippedAndLaterItemsWin) {
  const AgentRecord r = Decode(Reply(2, {0x00, 0x02, 0x00, 0x05, 'a',        //
                                         0x01, 0x00, 0x00, 0x07, 1,   2, 3,  // type 256
                                         0x00, 0x0D, 0x00, 0x04,             // type 13, empty
                                         0x00, 0x02, 0x00, 0x05, 'b'}));
  EXPECT_STREQ(r.systemName, "b");
}

TEST(Decoder, OverlongTextIsCutToFieldWidthMinusOne) {
  Bytes items = {0x00, 0x02, 0x00, 4 + 30};
  items.insert(items.end(), 30, 'x');
  items.insert(items.end(), {0x00, 0x03, 0x00, 0x05, 'L'});
  AgentRecord before = ZeroAgentRecord();
  std::memset(before.location, 'q', sizeof before.location);
  const AgentRecord r = Decode(Reply(2, items), before);
  EXPECT_EQ(std::string(r.systemName), std::string(20, 'x'));
  EXPECT_STREQ(r.location, "L") << "the next field is the next item's, not the overflow's";
}

TEST(Decoder, MalformedItemsEndDecoding) {
  const uint64_t badLength = MalformedPacketCount(DecodeOutcome::kBadLength);
  const uint64_t overrun = MalformedPacketCount(DecodeOutcome::kItemOverrun);
  // Length field below 4: decoding ends there, later items are not read.
  AgentRecord r = Decode(Reply(2, {0x00, 0x02, 0x00, 0x03, 0x00, 0x03, 0x00, 0x05, 'L'}),
                         ZeroAgentRecord(), DecodeOutcome::kBadLength);
  EXPECT_STREQ(r.systemName, "");
  EXPECT_STREQ(r.location, "");
  // An item running past the datagram is not stored.
  r = Decode(Reply(2, {0x00, 0x02, 0x00, 0x05, 'a', 0x00, 0x03, 0x00, 0x09, 'L', 'o'}),
             ZeroAgentRecord(), DecodeOutcome::kItemOverrun);
  EXPECT_STREQ(r.systemName, "a");
  EXPECT_STREQ(r.location, "");
  // A fixed-size item cut by the end of the datagram.
  r = Decode(Reply(2, {0x00, 0x81, 0x00, 0x14, 0xFF, 0xFF, 0xFF, 0xFF}), ZeroAgentRecord(),
             DecodeOutcome::kItemOverrun);
  EXPECT_EQ(r.funBitmap0, 0u);
  // A lone partial item header.
  r = Decode(Reply(2, {0x00, 0x02, 0x00}), ZeroAgentRecord(), DecodeOutcome::kItemOverrun);
  EXPECT_STREQ(r.systemName, "");
  // A merge reports the same; each malformed decode is counted by its reason.
  r = ZeroAgentRecord();
  const Bytes cut = Reply(2, {0x00, 0x02, 0x00, 0x00});
  EXPECT_EQ(MergeAgentPacket(cut.data(), cut.size(), r), DecodeOutcome::kBadLength);
  EXPECT_EQ(MalformedPacketCount(DecodeOutcome::kBadLength), badLength + 2);
  EXPECT_EQ(MalformedPacketCount(DecodeOutcome::kItemOverrun), overrun + 3);
  EXPECT_EQ(MalformedPacketCount(DecodeOutcome::kOk), 0u);
}

TEST(Decoder, ShortItemValuesReadZeroBeyondTheItem) {
  // Item 22 with a 2-byte value: the missing bytes are zero, never the next item's.
  const AgentRecord r = Decode(Reply(2, {0x00, 0x16, 0x00, 0x06, 0x12, 0x34,  //
                                         0x00, 0x02, 0x00, 0x05, 'n'}));
  EXPECT_EQ(r.groupTimer, 0x12340000u);
  EXPECT_STREQ(r.systemName, "n");
}

TEST(Decoder, ShortDatagramHasHeaderFromZeroAndNoItems) {
  const Bytes full = Reply(2, {0x00, 0x02, 0x00, 0x05, 'a'});
  // Cut after the MAC's fourth byte: the rest of the header reads as zero.
  const Bytes cut(full.begin(), full.begin() + 8);
  AgentRecord before = ZeroAgentRecord();
  before.isLoaderMode = 1;
  const AgentRecord r = Decode(cut, before, DecodeOutcome::kTooShort);
  EXPECT_EQ(r.agentProtoVer, 2);
  EXPECT_EQ(r.macAddr[3], 0x3C);
  EXPECT_EQ(r.macAddr[4], 0);
  EXPECT_EQ(r.agentInterfaceVer, 0);
  EXPECT_EQ(r.isLoaderMode, 0);
  EXPECT_EQ(r.dhcpMode, 2);
  EXPECT_STREQ(r.systemName, "");
  AgentRecord z = ZeroAgentRecord();
  EXPECT_EQ(DecodeAgentPacket(nullptr, 0, z), DecodeOutcome::kTooShort);
  // Exactly the header is a whole datagram without items.
  const Bytes bare(full.begin(), full.begin() + 40);
  EXPECT_EQ(DecodeAgentPacket(bare.data(), bare.size(), z), DecodeOutcome::kOk);
}

TEST(Codec, DecodingAnEncodedRecordGivesItsSentFieldsBack) {
  AgentRecord r = ZeroAgentRecord();
  r.funBitmap0 = 0x7FFFFFFF;  // every item bit, not the loader bit
  r.funBitmap1 = r.funBitmap2 = 0xFFFFFFFF;
  SetText(r.productName, "GS-108");
  SetText(r.systemName, "core");
  SetText(r.wifiSSID5G, "net5");
  SetText(r.fwDomain, "EU");
  r.agentIpAddr[0] = 10;
  r.agentDNS2[3] = 7;
  r.radiusIP5G[1] = 3;
  r.dhcpMode = 1;
  r.lldpMode = 0;
  r.groupTimer = 600;
  r.vlanID = 4094;
  r.radiusPort5G = 1812;
  r.wifiChannel = 11;
  r.wifiRoaming = 1;
  r.upgradeEreaseFlashTime = 90000;
  uint8_t buffer[kMaxPacketSize] = {};
  BuildPacketHeader(kOpDiscoverReply, 0, buffer);
  const size_t n = EncodeAgentTlvs(r, kEncodeStatic, buffer);
  AgentRecord back = ZeroAgentRecord();
  back.funBitmap0 = r.funBitmap0;  // item 129 is never sent by the server
  back.funBitmap1 = r.funBitmap1;
  back.funBitmap2 = r.funBitmap2;
  EXPECT_EQ(DecodeAgentPacket(buffer, 40 + n, back), DecodeOutcome::kOk);
  back.agentProtoVer = 0;  // header-derived fields are the request's
  EXPECT_EQ(std::memcmp(&back, &r, sizeof r), 0);
}

}  // namespace
}  // namespace ferro
