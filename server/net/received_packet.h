#pragma once
// One datagram as the receive thread hands it to a queue, and the pool its
// records are recycled through.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "protocol/packet.h"

namespace ferro {

struct ReceivedPacket {
  uint32_t rxTick = 0;                // tick count at receipt
  uint16_t opcode = 0;                // header opcode, host order; 0 from a transfer socket
  uint16_t sequence = 0;              // header sequence, host order; 0 from a transfer socket
  uint16_t result = 0;                // header result, host order; 0 from a transfer socket
  uint32_t cookie = 0;                // header cookie, host order; 0 from a transfer socket
  uint8_t agentMac[kMacSize] = {};    // header agentMac; zero from a transfer socket
  uint8_t data[kMaxPacketSize] = {};  // the datagram; bytes past `length` are zero
  int32_t length = 0;                 // 1..kMaxPacketSize
  uint32_t sourceIp = 0;              // sender IPv4, network order
  uint16_t sourcePort = 0;            // sender port, host order
  bool fromTransferSocket = false;
  // Leading bytes of `data` that may be non-zero (at least `length`): a
  // recycled record clears only these when it takes a shorter datagram.
  uint16_t written = 0;
};

// Reads the header fields of a datagram already in `packet.data` (when it
// did not come from a transfer socket); missing bytes read as zero. This is
// the one place a received header is parsed.
void ReadReceivedHeader(ReceivedPacket& packet);

// Builds the record of one received datagram of 1..kMaxPacketSize bytes
// (nullptr for any other length). Header fields are read only from datagrams
// that did not arrive on a transfer socket; bytes a short datagram does not
// reach read as zero. rxTick is taken last.
std::unique_ptr<ReceivedPacket> MakeReceivedPacket(const uint8_t* bytes, size_t length,
                                                   uint32_t sourceIp, uint16_t sourcePort,
                                                   bool fromTransferSocket);

// Records handed back by the consumers, taken again by the receive thread,
// so that a burst costs no allocation per datagram. It keeps at most
// kPooledPackets records (about 1.5 MB); beyond that they are freed.
inline constexpr size_t kPooledPackets = 1024;
class PacketPool {
 public:
  // A record ready for a datagram (bytes past `written` zero), from the pool
  // or freshly allocated; nullptr when memory ran out.
  std::unique_ptr<ReceivedPacket> Take();
  // The same for every empty one of `count` slots, with one lock.
  void Fill(std::unique_ptr<ReceivedPacket>* slots, size_t count);
  // Takes back every record of `records` (freeing those beyond the cap) and
  // empties it.
  void Give(std::vector<std::unique_ptr<ReceivedPacket>>& records);
  void Give(std::unique_ptr<ReceivedPacket> record);
  // Allocates records until the pool holds `count` (at most kPooledPackets),
  // so that the first burst after a start finds them ready instead of
  // allocating and faulting in a record per datagram.
  void Prefill(size_t count);
  // Frees every pooled record.
  void Clear();
  size_t Size();

 private:
  std::mutex mu_;  // a leaf: taken inside any other lock, never around one
  std::vector<std::unique_ptr<ReceivedPacket>> free_;
};
PacketPool& ReceivedPacketPool();

// Makes `to` a copy of `from` (a record taken from the pool, say), keeping
// the bytes past its length zero.
void CopyReceivedPacket(const ReceivedPacket& from, ReceivedPacket& to);

}  // namespace ferro
