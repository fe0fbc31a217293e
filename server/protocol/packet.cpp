#include "protocol/packet.h"

#include <cstring>

#include "config/config_values.h"

namespace ferro {

uint16_t PacketU16(const uint8_t* packet, size_t length, size_t offset) {
  uint8_t b[2];
  PacketBytes(packet, length, offset, b, sizeof b);
  return LoadBe16(b);
}

uint32_t PacketU32(const uint8_t* packet, size_t length, size_t offset) {
  uint8_t b[4];
  PacketBytes(packet, length, offset, b, sizeof b);
  return LoadBe32(b);
}

void PacketBytes(const uint8_t* packet, size_t length, size_t offset, uint8_t* out, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const size_t at = offset + i;
    out[i] = (packet != nullptr && at < length) ? packet[at] : 0;
  }
}

PacketHeader ParsePacketHeader(const uint8_t* packet, size_t length) {
  PacketHeader h;
  h.protoVer = PacketU16(packet, length, kHdrProtoVer);
  h.familyType = PacketU16(packet, length, kHdrFamilyType);
  PacketBytes(packet, length, kHdrAgentMac, h.agentMac, kMacSize);
  h.interfaceVer = PacketU16(packet, length, kHdrInterfaceVer);
  h.opcode = PacketU16(packet, length, kHdrOpcode);
  h.result = PacketU16(packet, length, kHdrResult);
  h.cookie = PacketU32(packet, length, kHdrCookie);
  PacketBytes(packet, length, kHdrSenderMac, h.senderMac, kMacSize);
  h.sequence = PacketU16(packet, length, kHdrSequence);
  return h;
}

size_t BuildPacketHeader(uint16_t opcode, uint8_t* buffer) {
  return BuildPacketHeader(opcode, Config().magicCookie.load(std::memory_order_relaxed), buffer);
}

size_t BuildPacketHeader(uint16_t opcode, uint32_t cookie, uint8_t* buffer) {
  if (buffer == nullptr) return 0;
  std::memset(buffer, 0, kPacketHeaderSize);
  StoreBe16(buffer + kHdrProtoVer, kRequestProtoVer);
  StoreBe16(buffer + kHdrOpcode, opcode);
  StoreBe32(buffer + kHdrCookie, cookie);
  return kPacketHeaderSize;
}

void SetPacketSequence(uint8_t* buffer, uint16_t sequence) {
  StoreBe16(buffer + kHdrSequence, sequence);
}

void SetPacketAgentMac(uint8_t* buffer, const uint8_t* mac) {
  std::memcpy(buffer + kHdrAgentMac, mac, kMacSize);
}

void SetPacketSenderMac(uint8_t* buffer, const uint8_t* mac) {
  std::memcpy(buffer + kHdrSenderMac, mac, kMacSize);
}

bool CheckMagicCookie(const uint8_t* packet, size_t length) {
  return CheckMagicCookie(packet, length, Config().magicCookie.load(std::memory_order_relaxed));
}

bool CheckMagicCookie(const uint8_t* packet, size_t length, uint32_t cookie) {
  return PacketU32(packet, length, kHdrCookie) == cookie;
}

bool TlvWriter::Put(uint16_t type, const void* value, size_t valueLength) {
  if (buffer_ == nullptr || pos_ > capacity_) return false;
  const size_t itemLength = kTlvHeaderSize + valueLength;
  if (itemLength > 0xFFFF || itemLength > capacity_ - pos_) return false;
  StoreBe16(buffer_ + pos_, type);
  StoreBe16(buffer_ + pos_ + 2, static_cast<uint16_t>(itemLength));
  if (valueLength > 0) std::memcpy(buffer_ + pos_ + kTlvHeaderSize, value, valueLength);
  pos_ += itemLength;
  return true;
}

bool TlvWriter::PutText(uint16_t type, const char* field, size_t width) {
  const size_t n = (field == nullptr || width == 0) ? 0 : strnlen(field, width - 1);
  return Put(type, field, n);
}

bool TlvWriter::PutU16(uint16_t type, uint16_t value) {
  uint8_t b[2];
  StoreBe16(b, value);
  return Put(type, b, sizeof b);
}

bool TlvWriter::PutU32(uint16_t type, uint32_t value) {
  uint8_t b[4];
  StoreBe32(b, value);
  return Put(type, b, sizeof b);
}

}  // namespace ferro
