#include "net/received_packet.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/tick.h"

namespace ferro {

void ReadReceivedHeader(ReceivedPacket& p) {
  if (p.fromTransferSocket) return;
  const PacketHeader h = ParsePacketHeader(p.data, static_cast<size_t>(p.length));
  p.opcode = h.opcode;
  p.sequence = h.sequence;
  p.result = h.result;
  p.cookie = h.cookie;
  std::memcpy(p.agentMac, h.agentMac, kMacSize);
}

std::unique_ptr<ReceivedPacket> MakeReceivedPacket(const uint8_t* bytes, size_t length,
                                                   uint32_t sourceIp, uint16_t sourcePort,
                                                   bool fromTransferSocket) {
  if (bytes == nullptr || length == 0 || length > kMaxPacketSize) return nullptr;
  std::unique_ptr<ReceivedPacket> p(new (std::nothrow) ReceivedPacket());
  if (!p) return nullptr;  // out of memory: the datagram is dropped
  std::memcpy(p->data, bytes, length);
  p->length = static_cast<int32_t>(length);
  p->written = static_cast<uint16_t>(length);
  p->fromTransferSocket = fromTransferSocket;
  ReadReceivedHeader(*p);
  p->sourceIp = sourceIp;
  p->sourcePort = sourcePort;
  p->rxTick = GetTick();
  return p;
}

namespace {

// A record filled by hand (tests do) may not have said how far it wrote.
void KeepWritten(ReceivedPacket& p) {
  const auto length = static_cast<uint16_t>(std::clamp<int32_t>(p.length, 0, kMaxPacketSize));
  if (p.written < length) p.written = length;
}

}  // namespace

std::unique_ptr<ReceivedPacket> PacketPool::Take() {
  {
    std::lock_guard lock(mu_);
    if (!free_.empty()) {
      std::unique_ptr<ReceivedPacket> p = std::move(free_.back());
      free_.pop_back();
      return p;
    }
  }
  return std::unique_ptr<ReceivedPacket>(new (std::nothrow) ReceivedPacket());
}

void PacketPool::Fill(std::unique_ptr<ReceivedPacket>* slots, size_t count) {
  {
    std::lock_guard lock(mu_);
    for (size_t i = 0; i < count && !free_.empty(); ++i) {
      if (slots[i]) continue;
      slots[i] = std::move(free_.back());
      free_.pop_back();
    }
  }
  for (size_t i = 0; i < count; ++i) {
    if (!slots[i]) slots[i].reset(new (std::nothrow) ReceivedPacket());
  }
}

void PacketPool::Give(std::vector<std::unique_ptr<ReceivedPacket>>& records) {
  {
    std::lock_guard lock(mu_);
    if (free_.capacity() < kPooledPackets) free_.reserve(kPooledPackets);
    for (std::unique_ptr<ReceivedPacket>& p : records) {
      if (free_.size() >= kPooledPackets) break;
      if (!p) continue;
      KeepWritten(*p);
      free_.push_back(std::move(p));
    }
  }
  records.clear();  // whatever is left beyond the cap is freed here, outside the lock
}

void PacketPool::Give(std::unique_ptr<ReceivedPacket> record) {
  if (!record) return;
  std::lock_guard lock(mu_);
  if (free_.size() >= kPooledPackets) return;
  if (free_.capacity() < kPooledPackets) free_.reserve(kPooledPackets);
  KeepWritten(*record);
  free_.push_back(std::move(record));
}

void PacketPool::Prefill(size_t count) {
  count = std::min(count, kPooledPackets);
  std::vector<std::unique_ptr<ReceivedPacket>> fresh;
  {
    std::lock_guard lock(mu_);
    if (free_.size() >= count) return;
    fresh.resize(count - free_.size());
  }
  for (std::unique_ptr<ReceivedPacket>& p : fresh) {
    p.reset(new (std::nothrow) ReceivedPacket());
    if (!p) break;  // out of memory: the rest come one by one later
  }
  Give(fresh);
}

void PacketPool::Clear() {
  std::vector<std::unique_ptr<ReceivedPacket>> gone;
  std::lock_guard lock(mu_);
  gone.swap(free_);
}

size_t PacketPool::Size() {
  std::lock_guard lock(mu_);
  return free_.size();
}

PacketPool& ReceivedPacketPool() {
  static auto* pool = new PacketPool;  // records may come back during exit
  return *pool;
}

void CopyReceivedPacket(const ReceivedPacket& from, ReceivedPacket& to) {
  const size_t length = static_cast<size_t>(std::clamp<int32_t>(from.length, 0, kMaxPacketSize));
  std::memcpy(to.data, from.data, length);
  if (to.written > length) std::memset(to.data + length, 0, to.written - length);
  to.written = static_cast<uint16_t>(length);
  to.rxTick = from.rxTick;
  to.opcode = from.opcode;
  to.sequence = from.sequence;
  to.result = from.result;
  to.cookie = from.cookie;
  std::memcpy(to.agentMac, from.agentMac, kMacSize);
  to.length = from.length;
  to.sourceIp = from.sourceIp;
  to.sourcePort = from.sourcePort;
  to.fromTransferSocket = from.fromTransferSocket;
}

}  // namespace ferro
