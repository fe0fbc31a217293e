#include "net/receive.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "net/packet_queue.h"
#include "net/transport.h"
#include "platform/diag.h"

namespace ferro {

void RediscoveryWatch::Set(std::vector<Mac> macs) {
  std::lock_guard lock(mu_);
  macs_ = std::move(macs);
  count_.store(macs_.size(), std::memory_order_release);
}

std::vector<RediscoveryWatch::Mac> RediscoveryWatch::Snapshot() const {
  std::lock_guard lock(mu_);
  return macs_;
}

RediscoveryWatch& AwaitedRediscoveries() {
  static RediscoveryWatch watch;
  return watch;
}

QueueRoute RouteOf(const ReceivedPacket& packet, bool awaited) {
  QueueRoute r;
  if (packet.fromTransferSocket) {
    r.transferQueue = true;
    return r;
  }
  r.packetQueue = packet.opcode != kOpUpgradeReply;
  r.transferQueue =
      (packet.opcode == kOpDiscoverReply && awaited) || packet.opcode == kOpUpgradeReply;
  return r;
}

BatchReceiver::BatchReceiver() : buffers_(kReceiveBatch * kMaxPacketSize) {}

ReceiveResult BatchReceiver::Receive(int fd, bool transferSocket,
                                     std::vector<std::unique_ptr<ReceivedPacket>>& out) {
  for (size_t i = 0; i < kReceiveBatch; ++i) {
    iov_[i] = iovec{buffers_.data() + i * kMaxPacketSize, kMaxPacketSize};
    msgs_[i] = mmsghdr{};
    msgs_[i].msg_hdr.msg_iov = &iov_[i];
    msgs_[i].msg_hdr.msg_iovlen = 1;
    msgs_[i].msg_hdr.msg_name = &from_[i];
    msgs_[i].msg_hdr.msg_namelen = sizeof from_[i];
  }
  // MSG_TRUNC makes each length the datagram's real one, so an oversized
  // datagram is recognised although only the buffer's worth was copied.
  const int n = recvmmsg(fd, msgs_.data(), kReceiveBatch, MSG_TRUNC | MSG_DONTWAIT, nullptr);
  if (n < 0) {
    // An ICMP error reported on the socket is no failure of the socket.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNREFUSED) {
      return ReceiveResult::kNothing;
    }
    return ReceiveResult::kSocketFailed;
  }
  for (int i = 0; i < n; ++i) {
    const size_t length = msgs_[i].msg_len;
    // An empty datagram (a routine port scan sends them) and an oversized
    // one are dropped; neither says anything about the socket.
    if (length == 0 || length > kMaxPacketSize || (msgs_[i].msg_hdr.msg_flags & MSG_TRUNC) != 0) {
      continue;
    }
    sockaddr_in from{};
    if (from_[i].ss_family == AF_INET) std::memcpy(&from, &from_[i], sizeof from);
    std::unique_ptr<ReceivedPacket> p =
        MakeReceivedPacket(buffers_.data() + i * kMaxPacketSize, length, from.sin_addr.s_addr,
                           ntohs(from.sin_port), transferSocket);
    if (p) out.push_back(std::move(p));
  }
  return n > 0 ? ReceiveResult::kPackets : ReceiveResult::kNothing;
}

Receiver::Receiver() : wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  received_.reserve(kReceiveBatch);
}

Receiver::~Receiver() {
  if (wakeFd_ >= 0) close(wakeFd_);
}

void Receiver::Wake() {
  if (wakeFd_ < 0) return;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

void Receiver::Run(const std::atomic<bool>& stop, PacketQueue& packets, PacketQueue& transfers) {
  while (!stop.load(std::memory_order_acquire)) Pass(1000, packets, transfers);
}

void Receiver::Pass(int timeoutMs, PacketQueue& packets, PacketQueue& transfers) {
  // Hold references to the sockets for the whole wait, so that none of them
  // is closed (and its number reused) while poll() looks at it.
  std::vector<SocketRef> sockets;
  {
    std::lock_guard lock(ReceiveSocketLock());
    sockets = ReceiveSocketList();
  }
  std::vector<pollfd> fds;
  fds.reserve(sockets.size() + 1);
  fds.push_back(pollfd{wakeFd_, POLLIN, 0});
  for (const SocketRef& s : sockets) fds.push_back(pollfd{s->fd(), POLLIN, 0});
  const int ready = poll(fds.data(), fds.size(), timeoutMs);
  if (ready <= 0) return;
  if (fds[0].revents != 0) {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t n = read(wakeFd_, &count, sizeof count);
  }

  received_.clear();
  {
    std::lock_guard lock(ReceiveSocketLock());
    auto& list = ReceiveSocketList();
    for (size_t i = 0; i < sockets.size(); ++i) {
      if (fds[i + 1].revents == 0) continue;
      const SocketRef& s = sockets[i];
      auto it = std::find(list.begin(), list.end(), s);
      if (it == list.end()) continue;  // its address was closed meanwhile
      const bool transfer = s->kind() == SocketKind::kTransfer;
      if (batch_.Receive(s->fd(), transfer, received_) == ReceiveResult::kSocketFailed) {
        // Given up: closed now and out of the wait list; senders skip it
        // and it is not reopened while its address stays.
        s->CloseNow();
        list.erase(it);
      }
    }
  }
  if (received_.empty()) return;

  // Read after the datagrams were taken: an upload starts waiting for its
  // agent before it asks for the reply, so every reply to that request is
  // received after the agent appeared here.
  std::vector<RediscoveryWatch::Mac> awaited;
  if (!AwaitedRediscoveries().Empty()) awaited = AwaitedRediscoveries().Snapshot();
  const auto isAwaited = [&awaited](const ReceivedPacket& p) {
    return std::any_of(awaited.begin(), awaited.end(), [&p](const RediscoveryWatch::Mac& m) {
      return std::memcmp(m.data(), p.agentMac, kMacSize) == 0;
    });
  };

  toPackets_.clear();
  toTransfers_.clear();
  for (std::unique_ptr<ReceivedPacket>& p : received_) {
    const QueueRoute route = RouteOf(*p, !awaited.empty() && isAwaited(*p));
    if (route.packetQueue && route.transferQueue) {
      std::unique_ptr<ReceivedPacket> copy(new (std::nothrow) ReceivedPacket(*p));
      if (copy) toTransfers_.push_back(std::move(copy));
    }
    if (route.packetQueue) {
      toPackets_.push_back(std::move(p));
    } else if (route.transferQueue) {
      toTransfers_.push_back(std::move(p));
    }
  }
  received_.clear();
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
}

}  // namespace ferro
