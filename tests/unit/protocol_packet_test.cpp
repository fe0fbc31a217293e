// Packet header bytes and TLV framing, checked against byte vectors written
// out by hand from the header layout.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "engine/engine_config.h"
#include "protocol/packet.h"

namespace ferro {
namespace {

TEST(PacketHeader, DiscoveryRequestIsExactlyFortyBytes) {
  uint8_t buffer[kMaxPacketSize];
  std::fill(std::begin(buffer), std::end(buffer), 0xAA);
  ASSERT_EQ(BuildPacketHeader(kOpDiscover, 0x01020304u, buffer), 40u);
  SetPacketSequence(buffer, 0x1234);
  const uint8_t senderMac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  SetPacketSenderMac(buffer, senderMac);
  const std::vector<uint8_t> expected = {
      0x00, 0x02, 0x00, 0x00,                          // protoVer 2, familyType 0
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00,              // agentMac
      0x00, 0x00, 0x00, 0x01, 0x00, 0x00,              // interfaceVer, opcode 1, result
      0x01, 0x02, 0x03, 0x04,                          // cookie
      0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E,              // senderMac
      0x12, 0x34,                                      // sequence
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // reserved
      0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 40), expected);
  EXPECT_EQ(buffer[40], 0xAA) << "nothing is written past the header";
}

TEST(PacketHeader, NullBufferWritesNothing) {
  EXPECT_EQ(BuildPacketHeader(kOpDiscover, nullptr), 0u);
}

TEST(PacketHeader, StampsTheConfiguredCookie) {
  const uint32_t saved = Config().magicCookie;
  Config().magicCookie = 0xDEADBEEF;
  uint8_t buffer[40];
  BuildPacketHeader(kOpKeepAlive, buffer);
  Config().magicCookie = saved;
  EXPECT_EQ(buffer[16], 0xDE);
  EXPECT_EQ(buffer[19], 0xEF);
  EXPECT_EQ(buffer[13], kOpKeepAlive);
}

TEST(PacketHeader, CookieCheckReadsBigEndianAtSixteen) {
  uint8_t packet[40] = {};
  packet[16] = 0xC0;
  packet[19] = 0x01;
  EXPECT_TRUE(CheckMagicCookie(packet, 40, 0xC0000001u));
  EXPECT_FALSE(CheckMagicCookie(packet, 40, 0));
  // Default cookie 0: an all-zero cookie field is accepted.
  const uint8_t zero[40] = {};
  EXPECT_TRUE(CheckMagicCookie(zero, 40, 0));
  // A datagram cut before the cookie reads the missing bytes as zero.
  EXPECT_TRUE(CheckMagicCookie(packet, 16, 0));
  EXPECT_FALSE(CheckMagicCookie(packet, 17, 0));
}

TEST(PacketHeader, ParsesEveryFieldAndZeroFillsShortDatagrams) {
  const uint8_t reply[40] = {0x00, 0x03, 0x00, 0x07, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5,
                             0x00, 0x01, 0x00, 0x04, 0x00, 0x09, 0x11, 0x22, 0x33, 0x44,
                             0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xFF, 0xFE};
  PacketHeader h = ParsePacketHeader(reply, sizeof reply);
  EXPECT_EQ(h.protoVer, 3);
  EXPECT_EQ(h.familyType, 7);
  EXPECT_EQ(h.agentMac[0], 0xA0);
  EXPECT_EQ(h.agentMac[5], 0xA5);
  EXPECT_EQ(h.interfaceVer, 1);
  EXPECT_EQ(h.opcode, kOpSetByMacReply);
  EXPECT_EQ(h.result, 9);
  EXPECT_EQ(h.cookie, 0x11223344u);
  EXPECT_EQ(h.senderMac[5], 0xB5);
  EXPECT_EQ(h.sequence, 0xFFFE);

  h = ParsePacketHeader(reply, 13);  // cut inside the opcode
  EXPECT_EQ(h.interfaceVer, 1);
  EXPECT_EQ(h.opcode, 0);
  EXPECT_EQ(h.cookie, 0u);
  h = ParsePacketHeader(nullptr, 40);
  EXPECT_EQ(h.protoVer, 0);
}

TEST(TlvWriter, FramesItemsBackToBack) {
  uint8_t buffer[128] = {};
  TlvWriter w(buffer, sizeof buffer);
  EXPECT_TRUE(w.PutText(2, "ab\0zz", 5));
  EXPECT_TRUE(w.PutU8(100, 0x01));
  EXPECT_TRUE(w.PutU16(43, 0x0102));
  EXPECT_TRUE(w.PutU32(22, 0x0A0B0C0D));
  const uint8_t ip[4] = {192, 168, 0, 1};
  EXPECT_TRUE(w.PutAddress(4, ip));
  const std::vector<uint8_t> expected = {0x00, 0x02, 0x00, 0x06, 'a',  'b',               // text
                                         0x00, 0x64, 0x00, 0x05, 0x01,                    // byte
                                         0x00, 0x2B, 0x00, 0x06, 0x01, 0x02,              // 16-bit
                                         0x00, 0x16, 0x00, 0x08, 0x0A, 0x0B, 0x0C, 0x0D,  // 32-bit
                                         0x00, 0x04, 0x00, 0x08, 192,  168,  0,    1};    // address
  EXPECT_EQ(std::vector<uint8_t>(buffer + 40, buffer + 40 + expected.size()), expected);
  EXPECT_EQ(w.written(), expected.size());
  EXPECT_EQ(w.end(), 40 + expected.size());
}

TEST(TlvWriter, NeverWritesPastTheBuffer) {
  uint8_t buffer[kMaxPacketSize + 1] = {};
  buffer[kMaxPacketSize] = 0x5A;
  TlvWriter w(buffer);
  const std::vector<char> big(kMaxPacketSize, 'x');
  EXPECT_FALSE(w.Put(9, big.data(), kMaxPacketSize - 40 - 3));  // one byte too many
  EXPECT_EQ(w.written(), 0u);
  EXPECT_TRUE(w.Put(9, big.data(), kMaxPacketSize - 40 - 4));  // exactly fills 1500
  EXPECT_EQ(w.end(), kMaxPacketSize);
  EXPECT_FALSE(w.PutU8(1, 0));
  EXPECT_EQ(buffer[kMaxPacketSize], 0x5A);
}

TEST(TlvWriter, TextWithoutNulStopsAtWidthMinusOne) {
  uint8_t buffer[kMaxPacketSize] = {};
  const char field[4] = {'a', 'b', 'c', 'd'};
  TlvWriter w(buffer);
  w.PutText(1, field, sizeof field);
  EXPECT_EQ(buffer[43], 7);  // 4 + 3 characters
}

}  // namespace
}  // namespace ferro
