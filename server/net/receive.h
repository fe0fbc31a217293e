#pragma once
// The receive side of the transport: one thread waits on every socket of the
// ReceiveSocketList, takes a batch of datagrams from each ready socket and
// hands each batch to the PacketQueue, the TransferQueue or both with one
// append and one signal per queue.

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

#include "net/received_packet.h"
#include "platform/socket.h"

namespace ferro {

class PacketQueue;
class UdpSocket;

// Which queues a received datagram belongs on: both, one or neither.
struct QueueRoute {
  bool packetQueue = false;    // the protocol side
  bool transferQueue = false;  // the transfer side
};
// Decides that for each record; the engine builds it from its dispatch
// table, so that the transport itself knows no opcode. Called on the
// receive thread, with no transport lock held. Without one, records from a
// transfer socket go to the transfer side and the rest to the packet side.
using PacketClassifier = QueueRoute (*)(const ReceivedPacket& packet);

// Datagrams the receive thread has taken from the engine's sockets since the
// process started, and of those the ones dropped at once for their size
// (empty, or longer than the largest packet). Safe from any thread.
uint64_t ReceivedDatagrams();
uint64_t BadSizeDatagrams();

// Outcome of one receive call on a socket.
enum class ReceiveResult { kPackets, kNothing, kSocketFailed };

// Most datagrams taken from one socket in one receive call.
inline constexpr size_t kReceiveBatch = 64;
// The receive thread's pause after a pass with fewer than kCoalesceBelow
// datagrams. At a million datagrams a second a socket gathers 500 in it,
// a fraction of what its receive buffer holds.
inline constexpr int kCoalesceMicros = 500;
inline constexpr size_t kCoalesceBelow = kReceiveBatch;

// Receives up to kReceiveBatch datagrams from a non-blocking socket (with one
// system call on Linux, a call per datagram on Windows) and appends their records to `out` in
// arrival order. An empty datagram and one longer than the largest packet are dropped (the socket
// stays); a receive error other than "nothing there" fails the socket.
// Datagrams land straight in records taken from ReceivedPacketPool(); each
// header is read once, here.
class BatchReceiver {
 public:
  BatchReceiver();
  ~BatchReceiver();
  BatchReceiver(const BatchReceiver&) = delete;  // the headers point into the object
  BatchReceiver& operator=(const BatchReceiver&) = delete;
  ReceiveResult Receive(SocketHandle fd, bool transferSocket,
                        std::vector<std::unique_ptr<ReceivedPacket>>& out);

 private:
  // Fills the empty slots from the pool; returns how many leading slots
  // hold a record.
  size_t Refill();
  // Files one received datagram of `length` bytes (`truncated`: longer than
  // the buffer) from slot `i` into `out`; false when it was dropped for its size.
  bool Accept(size_t i, size_t length, bool truncated, bool transferSocket, uint32_t now,
              std::vector<std::unique_ptr<ReceivedPacket>>& out);

  std::array<std::unique_ptr<ReceivedPacket>, kReceiveBatch> slots_;
  std::array<sockaddr_storage, kReceiveBatch> from_{};
#ifndef _WIN32
  std::array<iovec, kReceiveBatch> iov_{};
  std::array<mmsghdr, kReceiveBatch> msgs_{};
#endif
};

// The thread body, with a wake-up for prompt stopping and for new sockets.
// It waits (epoll on Linux, WSAPoll on Windows) on the sockets it last took
// from the ReceiveSocketList and holds them until it takes the list again,
// so that none is closed (and its number reused) while it is registered.
class Receiver {
 public:
  explicit Receiver(PacketClassifier classify = nullptr);
  ~Receiver();
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // Runs passes until `stop` is set; each pass waits at most 1 s. A pass
  // that found only a few datagrams, none of them for a transfer, is
  // followed by a pause of kCoalesceMicros: at tens of thousands of replies
  // a second the next pass then takes a batch instead of one or two, and
  // the consumer is woken once for it. Transfers run lock-step, so their
  // datagrams are never held back.
  void Run(const std::atomic<bool>& stop, PacketQueue& packets, PacketQueue& transfers);
  struct PassSummary {
    size_t datagrams = 0;          // records queued
    bool transferTraffic = false;  // some came from or go to the transfer side
  };
  // One pass: wait up to `timeoutMs` for readable sockets, receive a batch
  // from each and queue them.
  PassSummary Pass(int timeoutMs, PacketQueue& packets, PacketQueue& transfers);
  // Ends a pending wait early.
  void Wake();

 private:
  // Brings the wait set in line with the list (caller holds ReceiveSocketLock).
  void Sync(const std::vector<std::shared_ptr<UdpSocket>>& list);
  // Waits up to `timeoutMs` and collects the sockets found readable into
  // ready_ (nullptr for the wake-up); false when nothing is ready.
  bool Wait(int timeoutMs);

  PacketClassifier classify_ = nullptr;
#ifdef _WIN32
  // The wake-up: a loopback UDP socket that Wake() sends one byte to.
  SocketHandle wakeRx_ = kNoSocket;
  SocketHandle wakeTx_ = kNoSocket;
  std::vector<WSAPOLLFD> polls_;  // the wake-up first, then watched_ in order
#else
  int wakeFd_ = -1;
  int epollFd_ = -1;
#endif
  std::vector<std::shared_ptr<UdpSocket>> watched_;  // what the wait covers
  std::vector<UdpSocket*> ready_;                    // from the last wait
  BatchReceiver batch_;
  std::vector<std::unique_ptr<ReceivedPacket>> received_;  // reused by every pass
  std::vector<std::unique_ptr<ReceivedPacket>> toPackets_;
  std::vector<std::unique_ptr<ReceivedPacket>> toTransfers_;
};

}  // namespace ferro
