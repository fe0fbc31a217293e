#pragma once
// One datagram as the receive thread hands it to a queue.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "protocol/packet.h"

namespace ferro {

struct ReceivedPacket {
  uint32_t rxTick = 0;                // tick count at receipt
  uint16_t opcode = 0;                // header opcode, host order; 0 from a transfer socket
  uint16_t sequence = 0;              // header sequence, host order; 0 from a transfer socket
  uint8_t agentMac[kMacSize] = {};    // header agentMac; zero from a transfer socket
  uint8_t data[kMaxPacketSize] = {};  // the datagram; bytes past `length` are zero
  int32_t length = 0;                 // 1..kMaxPacketSize
  uint32_t sourceIp = 0;              // sender IPv4, network order
  uint16_t sourcePort = 0;            // sender port, host order
  bool fromTransferSocket = false;
};

// Builds the record of one received datagram of 1..kMaxPacketSize bytes
// (nullptr for any other length). Header fields are read only from datagrams
// that did not arrive on a transfer socket; bytes a short datagram does not
// reach read as zero. rxTick is taken last.
std::unique_ptr<ReceivedPacket> MakeReceivedPacket(const uint8_t* bytes, size_t length,
                                                   uint32_t sourceIp, uint16_t sourcePort,
                                                   bool fromTransferSocket);

}  // namespace ferro
