#include "net/received_packet.h"

#include <cstring>
#include <new>

#include "platform/tick.h"

namespace ferro {

std::unique_ptr<ReceivedPacket> MakeReceivedPacket(const uint8_t* bytes, size_t length,
                                                   uint32_t sourceIp, uint16_t sourcePort,
                                                   bool fromTransferSocket) {
  if (bytes == nullptr || length == 0 || length > kMaxPacketSize) return nullptr;
  std::unique_ptr<ReceivedPacket> p(new (std::nothrow) ReceivedPacket());
  if (!p) return nullptr;  // out of memory: the datagram is dropped
  std::memcpy(p->data, bytes, length);
  p->length = static_cast<int32_t>(length);
  if (!fromTransferSocket) {
    p->opcode = PacketU16(p->data, length, kHdrOpcode);
    p->sequence = PacketU16(p->data, length, kHdrSequence);
    PacketBytes(p->data, length, kHdrAgentMac, p->agentMac, kMacSize);
  }
  p->sourceIp = sourceIp;
  p->sourcePort = sourcePort;
  p->fromTransferSocket = fromTransferSocket;
  p->rxTick = GetTick();
  return p;
}

}  // namespace ferro
