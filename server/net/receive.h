#pragma once
// The receive side of the transport: one thread waits on every socket of the
// ReceiveSocketList, receives one datagram from each ready socket and puts
// it on the PacketQueue, the TransferQueue or both.

#include <atomic>
#include <memory>

#include "net/received_packet.h"

namespace ferro {

class PacketQueue;

// Which queues a received datagram belongs on.
struct QueueRoute {
  bool packetQueue = false;    // protocol layer
  bool transferQueue = false;  // transfers and upgrade replies
};
// Discovery replies (opcode 2) go to both; upgrade replies (11) and anything
// from a transfer socket only to the transfer side; the rest to the packet side.
QueueRoute RouteOf(const ReceivedPacket& packet);

// Outcome of one receive attempt on a socket.
enum class ReceiveResult { kPacket, kNothing, kDropped, kSocketFailed };

// Receives one datagram from a non-blocking socket. An empty datagram and
// one longer than the largest packet are dropped (the socket stays); a
// receive error other than "nothing there" fails the socket.
ReceiveResult ReceiveOne(int fd, bool transferSocket, std::unique_ptr<ReceivedPacket>* out);

// The thread body, with a wake-up for prompt stopping and for new sockets.
class Receiver {
 public:
  Receiver();
  ~Receiver();
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // Runs passes until `stop` is set; each pass waits at most 1 s.
  void Run(const std::atomic<bool>& stop, PacketQueue& packets, PacketQueue& transfers);
  // One pass: wait up to `timeoutMs` for readable sockets, receive and queue.
  void Pass(int timeoutMs, PacketQueue& packets, PacketQueue& transfers);
  // Ends a pending wait early.
  void Wake();

 private:
  int wakeFd_ = -1;
};

}  // namespace ferro
