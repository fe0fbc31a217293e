#pragma once
// Framing of the UDP datagrams exchanged with the agents: the fixed 40-byte
// header, the opcode set, the type-length-value items of the body and the
// datagram size limit. Every multi-byte header or item field is big-endian.

#include <cstddef>
#include <cstdint>

namespace ferro {

// Size limits. Requests are assembled in a zero-filled buffer of
// kMaxPacketSize bytes; the receive buffer has the same size.
inline constexpr size_t kMaxPacketSize = 1500;
inline constexpr size_t kPacketHeaderSize = 40;  // items start here
inline constexpr size_t kTlvHeaderSize = 4;      // type (2) + length (2)
inline constexpr size_t kMacSize = 6;

// Byte offsets of the header fields.
inline constexpr size_t kHdrProtoVer = 0;       // u16; 2 in our requests
inline constexpr size_t kHdrFamilyType = 2;     // u16; 0 in our requests
inline constexpr size_t kHdrAgentMac = 4;       // 6 bytes: addressed / answering agent
inline constexpr size_t kHdrInterfaceVer = 10;  // u16
inline constexpr size_t kHdrOpcode = 12;        // u16
inline constexpr size_t kHdrResult = 14;        // u16: result code of a command reply
inline constexpr size_t kHdrCookie = 16;        // u32: the configured magic cookie
inline constexpr size_t kHdrSenderMac = 20;     // 6 bytes: set by the send function per adapter
inline constexpr size_t kHdrSequence = 26;      // u16
inline constexpr size_t kHdrReserved = 28;      // 12 zero bytes

inline constexpr uint16_t kRequestProtoVer = 2;

// Opcodes, one space for both directions. 13 and everything above 18 are unused.
inline constexpr uint16_t kOpDiscover = 1;       // server -> agents, header only
inline constexpr uint16_t kOpDiscoverReply = 2;  // agent TLVs
inline constexpr uint16_t kOpSetByMac = 3;       // server -> agents, addressed by agentMac
inline constexpr uint16_t kOpSetByMacReply = 4;
inline constexpr uint16_t kOpKeepAlive = 5;  // server -> one agent, header only
inline constexpr uint16_t kOpKeepAliveReply = 6;
inline constexpr uint16_t kOpSetByIp = 7;  // server -> one agent by IPv4 address
inline constexpr uint16_t kOpSetByIpReply = 8;
inline constexpr uint16_t kOpTrap = 9;  // address at 40, NUL-terminated text at 44
inline constexpr uint16_t kOpUpgradeRequest = 10;
inline constexpr uint16_t kOpUpgradeReply = 11;
inline constexpr uint16_t kOpLoaderDiscoverReply = 12;  // discovery reply in boot-loader mode
inline constexpr uint16_t kOpLoaderCommand = 14;
inline constexpr uint16_t kOpLoaderCommandReply = 15;
inline constexpr uint16_t kOpTrapTlv = 16;  // trap whose body is agent TLVs
inline constexpr uint16_t kOpRestoreDefault = 17;
inline constexpr uint16_t kOpRestoreDefaultReply = 18;

// Big-endian access to raw bytes (no bounds check: the caller owns the range).
inline uint16_t LoadBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t LoadBe32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
inline void StoreBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void StoreBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// Bounded big-endian reads from a received datagram of `length` bytes:
// bytes at or beyond `length` read as zero, as in the zero-filled receive
// buffer, so a datagram shorter than the header still yields its fields.
uint16_t PacketU16(const uint8_t* packet, size_t length, size_t offset);
uint32_t PacketU32(const uint8_t* packet, size_t length, size_t offset);
void PacketBytes(const uint8_t* packet, size_t length, size_t offset, uint8_t* out, size_t n);

// The header fields of a datagram in host order.
struct PacketHeader {
  uint16_t protoVer = 0;
  uint16_t familyType = 0;
  uint8_t agentMac[kMacSize] = {};
  uint16_t interfaceVer = 0;
  uint16_t opcode = 0;
  uint16_t result = 0;
  uint32_t cookie = 0;
  uint8_t senderMac[kMacSize] = {};
  uint16_t sequence = 0;
};

// Reads the header of a received datagram; missing bytes read as zero.
PacketHeader ParsePacketHeader(const uint8_t* packet, size_t length);

// Fills the 40 header bytes of `buffer`: protoVer 2, familyType 0, `opcode`,
// the cookie, everything else zero. Returns 40 (where items start), or 0
// without writing when `buffer` is null. The one-argument form stamps the
// configured cookie (Config().magicCookie).
size_t BuildPacketHeader(uint16_t opcode, uint8_t* buffer);
size_t BuildPacketHeader(uint16_t opcode, uint32_t cookie, uint8_t* buffer);

// Header setters for a buffer of at least kPacketHeaderSize bytes.
void SetPacketSequence(uint8_t* buffer, uint16_t sequence);
void SetPacketAgentMac(uint8_t* buffer, const uint8_t* mac);
void SetPacketSenderMac(uint8_t* buffer, const uint8_t* mac);

// True when the big-endian word at offset 16 equals the cookie (bytes past
// `length` read as zero). The two-argument form compares with the
// configured cookie.
bool CheckMagicCookie(const uint8_t* packet, size_t length);
bool CheckMagicCookie(const uint8_t* packet, size_t length, uint32_t cookie);

// Appends TLV items to a request buffer, never past its capacity. Each item
// is 2 bytes type, 2 bytes length (counting these 4 header bytes) and the
// value, packed back to back.
class TlvWriter {
 public:
  // `buffer` holds `capacity` bytes; items are written from `start` on.
  explicit TlvWriter(uint8_t* buffer, size_t capacity = kMaxPacketSize,
                     size_t start = kPacketHeaderSize)
      : buffer_(buffer), capacity_(capacity), start_(start), pos_(start) {}

  // Each Put returns false and writes nothing when the item would not fit.
  bool Put(uint16_t type, const void* value, size_t valueLength);
  // The characters of a NUL-terminated field of `width` bytes, without the
  // NUL; at most width - 1 characters even if the field lacks its NUL.
  bool PutText(uint16_t type, const char* field, size_t width);
  bool PutU8(uint16_t type, uint8_t value) { return Put(type, &value, 1); }
  bool PutU16(uint16_t type, uint16_t value);
  bool PutU32(uint16_t type, uint32_t value);
  // Four address bytes as stored (network order, no swapping).
  bool PutAddress(uint16_t type, const uint8_t* address) { return Put(type, address, 4); }

  size_t written() const { return pos_ - start_; }  // item bytes appended
  size_t end() const { return pos_; }               // datagram length so far

 private:
  uint8_t* buffer_;
  size_t capacity_;
  size_t start_;
  size_t pos_;
};

}  // namespace ferro
