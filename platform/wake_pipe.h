#pragma once
// A wake-up for a poll loop: any thread signals it, and the loop, which
// polls its read end among its sockets, sees it readable. A pipe on Linux;
// on Windows, whose poll takes sockets only, a connected pair of loopback
// sockets.

#include "platform/socket.h"

namespace ferro {

class WakePipe {
 public:
  WakePipe() = default;
  ~WakePipe();
  WakePipe(const WakePipe&) = delete;
  WakePipe& operator=(const WakePipe&) = delete;

  // Makes the two ends (non-blocking, not inherited by started programs);
  // false when the system gave none.
  bool Open();
  // What the loop polls for input.
  SocketHandle ReadEnd() const { return read_; }
  // From any thread; never blocks (a full pipe already holds a wake-up).
  void Signal();
  // Takes every wake-up signalled so far.
  void Drain();

 private:
  SocketHandle read_ = kNoSocket;
  SocketHandle write_ = kNoSocket;
};

}  // namespace ferro
