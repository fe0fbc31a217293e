#include "net/receive.h"

#ifndef _WIN32
#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#endif

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
#ifndef _WIN32
  for (size_t i = 0; i < kReceiveBatch; ++i) {
    msgs_[i].msg_hdr.msg_iov = &iov_[i];
    msgs_[i].msg_hdr.msg_iovlen = 1;
    msgs_[i].msg_hdr.msg_name = &from_[i];
    msgs_[i].msg_hdr.msg_namelen = sizeof from_[i];
  }
#endif
}

BatchReceiver::~BatchReceiver() {
  for (std::unique_ptr<ReceivedPacket>& slot : slots_) ReceivedPacketPool().Give(std::move(slot));
}

size_t BatchReceiver::Refill() {
  ReceivedPacketPool().Fill(slots_.data(), slots_.size());
  size_t filled = 0;
  for (; filled < kReceiveBatch && slots_[filled]; ++filled) {  // out of memory: fewer
#ifndef _WIN32
    iov_[filled] = iovec{slots_[filled]->data, kMaxPacketSize};
#endif
  }
  return filled;
}

bool BatchReceiver::Accept(size_t i, size_t length, bool truncated, bool transferSocket,
                           uint32_t now, std::vector<std::unique_ptr<ReceivedPacket>>& out) {
  ReceivedPacket& p = *slots_[i];
  const size_t copied = std::min(length, kMaxPacketSize);
  // An empty datagram (a routine port scan sends them) and an oversized
  // one are dropped; neither says anything about the socket. The record
  // stays in its slot for the next datagram.
  if (length == 0 || length > kMaxPacketSize || truncated) {
    p.written = static_cast<uint16_t>(std::max<size_t>(p.written, copied));
    return false;
  }
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
  out.push_back(std::move(slots_[i]));
  return true;
}

#ifndef _WIN32
ReceiveResult BatchReceiver::Receive(SocketHandle fd, bool transferSocket,
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
    const size_t slot = static_cast<size_t>(i);
    const bool truncated = (msgs_[slot].msg_hdr.msg_flags & MSG_TRUNC) != 0;
    if (!Accept(slot, msgs_[slot].msg_len, truncated, transferSocket, now, out)) ++badSize;
    // The call shortened these to what it filled in; the next one needs the room again.
    msgs_[slot].msg_hdr.msg_namelen = sizeof from_[slot];
    msgs_[slot].msg_hdr.msg_flags = 0;
  }
  g_received.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
  if (badSize != 0) g_badSize.fetch_add(badSize, std::memory_order_relaxed);
  return n > 0 ? ReceiveResult::kPackets : ReceiveResult::kNothing;
}
#else
ReceiveResult BatchReceiver::Receive(SocketHandle fd, bool transferSocket,
                                     std::vector<std::unique_ptr<ReceivedPacket>>& out) {
  const size_t room = Refill();
  if (room == 0) return ReceiveResult::kNothing;
  // Winsock has no batch receive: one call per datagram, at most a batch.
  // A datagram longer than the buffer fills it and fails with WSAEMSGSIZE
  // (the rest is discarded), which is how an oversized one is recognised.
  size_t taken = 0;
  size_t next = 0;  // the slot the next datagram lands in: a dropped one leaves it free
  uint32_t now = 0;
  uint64_t badSize = 0;
  for (; taken < room; ++taken) {
    int fromLength = static_cast<int>(sizeof from_[next]);
    const int n =
        recvfrom(fd, reinterpret_cast<char*>(slots_[next]->data), static_cast<int>(kMaxPacketSize),
                 0, reinterpret_cast<sockaddr*>(&from_[next]), &fromLength);
    bool truncated = false;
    if (n == SOCKET_ERROR) {
      const int error = WSAGetLastError();
      if (error != WSAEMSGSIZE) {
        // Nothing more there, or an ICMP error reported on the socket: no
        // failure of the socket.
        if (IsWouldBlock(error) || error == WSAEINTR || error == WSAECONNRESET ||
            error == WSAENETRESET || taken != 0) {
          break;
        }
        return ReceiveResult::kSocketFailed;
      }
      truncated = true;
    }
    if (taken == 0) now = GetTick();
    const size_t length = truncated ? kMaxPacketSize : static_cast<size_t>(n);
    if (Accept(next, length, truncated, transferSocket, now, out)) {
      ++next;
    } else {
      ++badSize;
    }
  }
  g_received.fetch_add(taken, std::memory_order_relaxed);
  if (badSize != 0) g_badSize.fetch_add(badSize, std::memory_order_relaxed);
  return taken > 0 ? ReceiveResult::kPackets : ReceiveResult::kNothing;
}
#endif

#ifndef _WIN32
Receiver::Receiver(PacketClassifier classify)
    : classify_(classify != nullptr ? classify : BySocketKind),
      wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      epollFd_(epoll_create1(EPOLL_CLOEXEC)) {
  received_.reserve(kReceiveBatch);
  ready_.reserve(kReceiveBatch);
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

bool Receiver::Wait(int timeoutMs) {
  ready_.clear();
  if (epollFd_ < 0) return false;
  std::array<epoll_event, 64> events{};
  const int ready = epoll_wait(epollFd_, events.data(), static_cast<int>(events.size()), timeoutMs);
  for (int i = 0; i < ready; ++i) {
    auto* socket = static_cast<UdpSocket*>(events[static_cast<size_t>(i)].data.ptr);
    if (socket == nullptr) {
      uint64_t count = 0;
      [[maybe_unused]] ssize_t n = read(wakeFd_, &count, sizeof count);
      continue;
    }
    ready_.push_back(socket);
  }
  return !ready_.empty();
}
#else
namespace {

// A UDP socket bound to a free loopback port, non-blocking; its address in `bound`.
SocketHandle LoopbackSocket(sockaddr_in& bound) {
  const SocketHandle s = socket(AF_INET, SOCK_DGRAM, 0);
  if (!IsValidSocket(s)) return kNoSocket;
  bound = sockaddr_in{};
  bound.sin_family = AF_INET;
  bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof bound;
  if (bind(s, reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length) != 0 ||
      !SetNonBlocking(s, true) || !IgnoreUdpUnreachable(s)) {
    CloseSocket(s);
    return kNoSocket;
  }
  return s;
}

}  // namespace

Receiver::Receiver(PacketClassifier classify)
    : classify_(classify != nullptr ? classify : BySocketKind) {
  received_.reserve(kReceiveBatch);
  ready_.reserve(kReceiveBatch);
  if (!StartSockets()) return;
  // Each end connected to the other: the wake-up takes datagrams from its
  // partner only, whatever else on the machine sends to its port.
  sockaddr_in rxAddress{};
  sockaddr_in txAddress{};
  wakeRx_ = LoopbackSocket(rxAddress);
  wakeTx_ = LoopbackSocket(txAddress);
  if (!IsValidSocket(wakeRx_) || !IsValidSocket(wakeTx_) ||
      connect(wakeRx_, reinterpret_cast<const sockaddr*>(&txAddress), sizeof txAddress) != 0 ||
      connect(wakeTx_, reinterpret_cast<const sockaddr*>(&rxAddress), sizeof rxAddress) != 0) {
    if (IsValidSocket(wakeRx_)) CloseSocket(wakeRx_);
    if (IsValidSocket(wakeTx_)) CloseSocket(wakeTx_);
    wakeRx_ = wakeTx_ = kNoSocket;
    Diag("receive thread: no wake-up socket (error %d)\n", LastSocketError());
    return;
  }
  polls_.push_back(WSAPOLLFD{wakeRx_, POLLRDNORM, 0});
}

Receiver::~Receiver() {
  if (IsValidSocket(wakeRx_)) CloseSocket(wakeRx_);
  if (IsValidSocket(wakeTx_)) CloseSocket(wakeTx_);
}

void Receiver::Wake() {
  if (!IsValidSocket(wakeTx_)) return;
  const char one = 1;
  send(wakeTx_, &one, 1, 0);  // a full buffer wakes the thread already
}

void Receiver::Sync(const std::vector<SocketRef>& list) {
  if (list == watched_) return;
  // The wait set is rebuilt from the list: WSAPoll takes the whole set on
  // every call.
  polls_.resize(IsValidSocket(wakeRx_) ? 1 : 0);
  for (const SocketRef& s : list) polls_.push_back(WSAPOLLFD{s->fd(), POLLRDNORM, 0});
  watched_ = list;
}

bool Receiver::Wait(int timeoutMs) {
  ready_.clear();
  if (polls_.empty()) {  // neither a wake-up nor a socket: nothing to wait on
    Sleep(static_cast<DWORD>(timeoutMs));
    return false;
  }
  for (WSAPOLLFD& p : polls_) p.revents = 0;
  const int ready = WSAPoll(polls_.data(), static_cast<ULONG>(polls_.size()), timeoutMs);
  if (ready == SOCKET_ERROR) {
    // Not expected (every handle in the set is open); a pause keeps a
    // lasting failure from spinning the thread.
    static std::atomic<bool> logged{false};
    if (!logged.exchange(true)) Diag("WSAPoll failed: %d\n", WSAGetLastError());
    Sleep(static_cast<DWORD>(std::min(timeoutMs, 100)));
    return false;
  }
  if (ready == 0) return false;
  const size_t first = IsValidSocket(wakeRx_) ? 1 : 0;
  if (first == 1 && polls_[0].revents != 0) {
    char bytes[16];
    for (int i = 0; i < 64; ++i) {  // bounded: a wake-up is one byte per Wake()
      if (recv(wakeRx_, bytes, sizeof bytes, 0) == SOCKET_ERROR &&
          WSAGetLastError() != WSAEMSGSIZE) {
        break;
      }
    }
  }
  // An error or a closed handle is reported too: the receive then fails and
  // the socket is given up.
  for (size_t i = first; i < polls_.size(); ++i) {
    if (polls_[i].revents != 0) ready_.push_back(watched_[i - first].get());
  }
  return !ready_.empty();
}
#endif

void Receiver::Run(const std::atomic<bool>& stop, PacketQueue& packets, PacketQueue& transfers) {
  while (!stop.load(std::memory_order_acquire)) {
    const PassSummary pass = Pass(1000, packets, transfers);
    if (pass.datagrams != 0 && pass.datagrams < kCoalesceBelow && !pass.transferTraffic) {
      std::this_thread::sleep_for(std::chrono::microseconds(kCoalesceMicros));
    }
  }
}

Receiver::PassSummary Receiver::Pass(int timeoutMs, PacketQueue& packets, PacketQueue& transfers) {
  PassSummary summary;
  {
    std::lock_guard lock(ReceiveSocketLock());
    Sync(ReceiveSocketList());
  }
  if (!Wait(timeoutMs)) return summary;

  received_.clear();
  std::vector<SocketRef> givenUp;
  {
    std::lock_guard lock(ReceiveSocketLock());
    auto& list = ReceiveSocketList();
    for (UdpSocket* socket : ready_) {
      // Still registered, so still held by watched_ and safe to touch.
      auto it = std::find_if(list.begin(), list.end(),
                             [socket](const SocketRef& s) { return s.get() == socket; });
      if (it == list.end()) continue;  // its address was closed meanwhile
      const bool transfer = socket->kind() == SocketKind::kTransfer;
      if (batch_.Receive(socket->fd(), transfer, received_) == ReceiveResult::kSocketFailed) {
        // Given up: out of the wait list and closed below; senders skip it
        // and it is not reopened while its address stays.
        givenUp.push_back(std::move(*it));
        list.erase(it);
      }
    }
  }
  if (!givenUp.empty()) {
    std::lock_guard lock(AdapterSocketLock());  // no sender is using one of them
    for (const SocketRef& s : givenUp) s->CloseNow();
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
