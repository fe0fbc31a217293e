#include "net/receive.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "net/packet_queue.h"
#include "net/transport.h"

namespace ferro {

QueueRoute RouteOf(const ReceivedPacket& packet) {
  QueueRoute r;
  if (packet.fromTransferSocket) {
    r.transferQueue = true;
    return r;
  }
  r.packetQueue = packet.opcode != kOpUpgradeReply;
  r.transferQueue = packet.opcode == kOpDiscoverReply || packet.opcode == kOpUpgradeReply;
  return r;
}

ReceiveResult ReceiveOne(int fd, bool transferSocket, std::unique_ptr<ReceivedPacket>* out) {
  uint8_t buffer[kMaxPacketSize] = {};
  sockaddr_in from{};
  socklen_t fromLength = sizeof from;
  // MSG_TRUNC makes the call report the datagram's real length, so an
  // oversized one is recognised although only the buffer's worth was copied.
  const ssize_t n = recvfrom(fd, buffer, sizeof buffer, MSG_TRUNC | MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (n < 0) {
    // An ICMP error reported on the socket is no failure of the socket.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNREFUSED) {
      return ReceiveResult::kNothing;
    }
    return ReceiveResult::kSocketFailed;
  }
  // An empty datagram (a routine port scan sends them) and an oversized one
  // are dropped; neither says anything about the socket.
  if (n == 0 || static_cast<size_t>(n) > kMaxPacketSize) return ReceiveResult::kDropped;
  *out = MakeReceivedPacket(buffer, static_cast<size_t>(n), from.sin_addr.s_addr,
                            ntohs(from.sin_port), transferSocket);
  return *out ? ReceiveResult::kPacket : ReceiveResult::kDropped;
}

Receiver::Receiver() : wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

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

  bool packetDue = false;
  bool transferDue = false;
  {
    std::lock_guard lock(ReceiveSocketLock());
    auto& list = ReceiveSocketList();
    for (size_t i = 0; i < sockets.size(); ++i) {
      if (fds[i + 1].revents == 0) continue;
      const SocketRef& s = sockets[i];
      auto it = std::find(list.begin(), list.end(), s);
      if (it == list.end()) continue;  // its address was closed meanwhile
      std::unique_ptr<ReceivedPacket> p;
      const bool transfer = s->kind() == SocketKind::kTransfer;
      switch (ReceiveOne(s->fd(), transfer, &p)) {
        case ReceiveResult::kSocketFailed:
          // Given up: closed now and out of the wait list; senders skip it
          // and it is not reopened while its address stays.
          s->CloseNow();
          list.erase(it);
          break;
        case ReceiveResult::kPacket: {
          const QueueRoute route = RouteOf(*p);
          if (route.packetQueue && route.transferQueue) {
            transfers.Append(std::make_unique<ReceivedPacket>(*p));
            transferDue = true;
          }
          if (route.packetQueue) {
            packets.Append(std::move(p));
            packetDue = true;
          } else if (route.transferQueue) {
            transfers.Append(std::move(p));
            transferDue = true;
          }
          break;
        }
        case ReceiveResult::kNothing:
        case ReceiveResult::kDropped:
          break;
      }
    }
  }
  if (packetDue) packets.Signal();
  if (transferDue) transfers.Signal();
}

}  // namespace ferro
