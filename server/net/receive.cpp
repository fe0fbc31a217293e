#include "net/receive.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "net/packet_queue.h"
#include "net/transport.h"
#include "platform/diag.h"
#include "platform/tick.h"

namespace ferro {

namespace {

// Counted once per receive call, never per datagram.
std::atomic<uint64_t> g_received{0};
std::atomic<uint64_t> g_badSize{0};

QueueRoute BySocketKind(const ReceivedPacket& packet) {
  QueueRoute r;
  r.transferQueue = packet.fromTransferSocket;
  r.packetQueue = !packet.fromTransferSocket;
  return r;
}

}  // namespace

uint64_t ReceivedDatagrams() { return g_received.load(std::memory_order_relaxed); }
uint64_t BadSizeDatagrams() { return g_badSize.load(std::memory_order_relaxed); }

BatchReceiver::BatchReceiver() {
  for (size_t i = 0; i < kReceiveBatch; ++i) {
    msgs_[i].msg_hdr.msg_iov = &iov_[i];
    msgs_[i].msg_hdr.msg_iovlen = 1;
    msgs_[i].msg_hdr.msg_name = &from_[i];
    msgs_[i].msg_hdr.msg_namelen = sizeof from_[i];
  }
}

BatchReceiver::~BatchReceiver() {
  for (std::unique_ptr<ReceivedPacket>& slot : slots_) ReceivedPacketPool().Give(std::move(slot));
}

size_t BatchReceiver::Refill() {
  ReceivedPacketPool().Fill(slots_.data(), slots_.size());
  size_t filled = 0;
  for (; filled < kReceiveBatch && slots_[filled]; ++filled) {  // out of memory: fewer
    iov_[filled] = iovec{slots_[filled]->data, kMaxPacketSize};
  }
  return filled;
}

ReceiveResult BatchReceiver::Receive(int fd, bool transferSocket,
                                     std::vector<std::unique_ptr<ReceivedPacket>>& out) {
  const size_t room = Refill();
  if (room == 0) return ReceiveResult::kNothing;
  // MSG_TRUNC makes each length the datagram's real one, so an oversized
  // datagram is recognised although only the buffer's worth was copied.
  const int n =
      recvmmsg(fd, msgs_.data(), static_cast<unsigned>(room), MSG_TRUNC | MSG_DONTWAIT, nullptr);
  if (n < 0) {
    // An ICMP error reported on the socket is no failure of the socket.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNREFUSED) {
      return ReceiveResult::kNothing;
    }
    return ReceiveResult::kSocketFailed;
  }
  const uint32_t now = GetTick();  // one system call took them all
  uint64_t badSize = 0;
  for (int i = 0; i < n; ++i) {
    ReceivedPacket& p = *slots_[static_cast<size_t>(i)];
    const size_t length = msgs_[i].msg_len;
    const size_t copied = std::min(length, kMaxPacketSize);
    // An empty datagram (a routine port scan sends them) and an oversized
    // one are dropped; neither says anything about the socket. The record
    // stays in its slot for the next datagram.
    if (length == 0 || length > kMaxPacketSize || (msgs_[i].msg_hdr.msg_flags & MSG_TRUNC) != 0) {
      p.written = static_cast<uint16_t>(std::max<size_t>(p.written, copied));
      ++badSize;
    } else {
      if (p.written > length) std::memset(p.data + length, 0, p.written - length);
      p.written = static_cast<uint16_t>(length);
      p.length = static_cast<int32_t>(length);
      p.fromTransferSocket = transferSocket;
      p.opcode = p.sequence = p.result = 0;
      p.cookie = 0;
      std::memset(p.agentMac, 0, kMacSize);
      ReadReceivedHeader(p);
      sockaddr_in from{};
      if (from_[i].ss_family == AF_INET) std::memcpy(&from, &from_[i], sizeof from);
      p.sourceIp = from.sin_addr.s_addr;
      p.sourcePort = ntohs(from.sin_port);
      p.rxTick = now;
      out.push_back(std::move(slots_[static_cast<size_t>(i)]));
    }
    // The call shortened these to what it filled in; the next one needs the room again.
    msgs_[i].msg_hdr.msg_namelen = sizeof from_[i];
    msgs_[i].msg_hdr.msg_flags = 0;
  }
  g_received.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
  if (badSize != 0) g_badSize.fetch_add(badSize, std::memory_order_relaxed);
  return n > 0 ? ReceiveResult::kPackets : ReceiveResult::kNothing;
}

Receiver::Receiver(PacketClassifier classify)
    : classify_(classify != nullptr ? classify : BySocketKind),
      wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      epollFd_(epoll_create1(EPOLL_CLOEXEC)) {
  received_.reserve(kReceiveBatch);
  if (wakeFd_ >= 0 && epollFd_ >= 0) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.ptr = nullptr;  // the wake-up
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &e);
  }
}

Receiver::~Receiver() {
  if (epollFd_ >= 0) close(epollFd_);
  if (wakeFd_ >= 0) close(wakeFd_);
}

void Receiver::Wake() {
  if (wakeFd_ < 0) return;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

void Receiver::Run(const std::atomic<bool>& stop, PacketQueue& packets, PacketQueue& transfers) {
  while (!stop.load(std::memory_order_acquire)) {
    const PassSummary pass = Pass(1000, packets, transfers);
    if (pass.datagrams != 0 && pass.datagrams < kCoalesceBelow && !pass.transferTraffic) {
      std::this_thread::sleep_for(std::chrono::microseconds(kCoalesceMicros));
    }
  }
}

void Receiver::Sync(const std::vector<SocketRef>& list) {
  if (list == watched_) return;
  for (const SocketRef& s : watched_) {
    // A socket given up was closed under its number already, which took it
    // out of the set; the call then fails harmlessly.
    if (std::find(list.begin(), list.end(), s) == list.end()) {
      epoll_ctl(epollFd_, EPOLL_CTL_DEL, s->fd(), nullptr);
    }
  }
  for (const SocketRef& s : list) {
    if (std::find(watched_.begin(), watched_.end(), s) != watched_.end()) continue;
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.ptr = s.get();
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, s->fd(), &e);
  }
  watched_ = list;
}

Receiver::PassSummary Receiver::Pass(int timeoutMs, PacketQueue& packets, PacketQueue& transfers) {
  PassSummary summary;
  if (epollFd_ < 0) return summary;
  {
    std::lock_guard lock(ReceiveSocketLock());
    Sync(ReceiveSocketList());
  }
  std::array<epoll_event, 64> events{};
  const int ready = epoll_wait(epollFd_, events.data(), static_cast<int>(events.size()), timeoutMs);
  if (ready <= 0) return summary;

  received_.clear();
  {
    std::lock_guard lock(ReceiveSocketLock());
    auto& list = ReceiveSocketList();
    for (int i = 0; i < ready; ++i) {
      auto* socket = static_cast<UdpSocket*>(events[static_cast<size_t>(i)].data.ptr);
      if (socket == nullptr) {
        uint64_t count = 0;
        [[maybe_unused]] ssize_t n = read(wakeFd_, &count, sizeof count);
        continue;
      }
      // Still registered, so still held by watched_ and safe to touch.
      auto it = std::find_if(list.begin(), list.end(),
                             [socket](const SocketRef& s) { return s.get() == socket; });
      if (it == list.end()) continue;  // its address was closed meanwhile
      const bool transfer = socket->kind() == SocketKind::kTransfer;
      if (batch_.Receive(socket->fd(), transfer, received_) == ReceiveResult::kSocketFailed) {
        // Given up: closed now and out of the wait list; senders skip it
        // and it is not reopened while its address stays.
        socket->CloseNow();
        list.erase(it);
      }
    }
  }
  if (received_.empty()) return summary;

  toPackets_.clear();
  toTransfers_.clear();
  for (std::unique_ptr<ReceivedPacket>& p : received_) {
    const QueueRoute route = classify_(*p);
    if (route.packetQueue && route.transferQueue) {
      // Two records, one for each side: neither consumer waits for the other.
      if (std::unique_ptr<ReceivedPacket> copy = ReceivedPacketPool().Take()) {
        CopyReceivedPacket(*p, *copy);
        toTransfers_.push_back(std::move(copy));
      }
    }
    if (route.packetQueue) {
      toPackets_.push_back(std::move(p));
    } else if (route.transferQueue) {
      toTransfers_.push_back(std::move(p));
    }
  }
  ReceivedPacketPool().Give(received_);  // those neither side takes
  received_.clear();
  summary.datagrams = toPackets_.size() + toTransfers_.size();
  summary.transferTraffic = !toTransfers_.empty();
  // One hand-off and one wake-up per queue for the whole pass.
  size_t dropped = 0;
  if (!toPackets_.empty()) {
    dropped += packets.AppendAll(toPackets_);
    packets.Signal();
  }
  if (!toTransfers_.empty()) {
    dropped += transfers.AppendAll(toTransfers_);
    transfers.Signal();
  }
  static std::atomic<bool> logged{false};
  if (dropped != 0 && !logged.exchange(true)) {
    Diag("receive queue full (%zu records): newest datagrams dropped\n", kMaxQueuedPackets);
  }
  return summary;
}

}  // namespace ferro
