#pragma once
// The HTTP front's loop: one thread polls the listener and every open
// connection, collects complete requests, and serves them one at a time in
// the order in which they became complete. A client that is slow, silent or
// dripping only ever holds its own connection; nobody waits for it.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "answer_buffer.h"
#include "connection.h"
#include "platform/socket.h"
#include "platform/wake_pipe.h"

namespace ferro {

// Serves one complete request: returns the HTTP answer (status line, header
// and body), or the rest of it after what it streamed to the connection, or
// an empty text when the request gets no answer.
class RequestHandler {
 public:
  virtual ~RequestHandler() = default;
  virtual std::string Serve(Connection& connection) = 0;
  // Asked once the header is read: false when the request will be refused
  // whatever its body holds, so that the body is neither awaited nor kept.
  virtual bool WantsBody(const Connection& /*connection*/) { return true; }
  // Asked once for a body that will come: where it goes instead of memory
  // (an upload), or null to keep it.
  virtual std::unique_ptr<BodySink> BodySinkFor(const Connection& /*connection*/) {
    return nullptr;
  }

  // How the handler, from any thread, hands a connection it set waiting
  // (Connection::Wait) back to the front, which then serves it again.
  using Resumer = std::function<void(uint64_t connection_id)>;
  void SetResumer(Resumer resume) { resume_ = std::move(resume); }

 protected:
  Resumer resume_;
};

struct FrontLimits {
  size_t max_connections = 64;  // beyond it the longest idle reader is dropped
  // Of those, the slots only clients on this machine (loopback) may take:
  // hosts on the network can never hold them all.
  size_t loopback_slots = 16;
  size_t max_per_host = 8;  // connections one host on the network may hold
  // What the answers waiting in all connections may hold at once; an answer
  // that would pass it is refused (503).
  size_t answer_budget = kDefaultAnswerBudget;
  uint32_t accept_pause_ms = 100;  // after the process ran out of descriptors
  ConnectionLimits connection;
};

class Front {
 public:
  // `listener` is a bound, listening TCP socket; the front makes it non-blocking.
  Front(SocketHandle listener, RequestHandler& handler, FrontLimits limits = {});
  ~Front();
  Front(const Front&) = delete;
  Front& operator=(const Front&) = delete;

  // One round: waits at most `max_wait_ms` for sockets to become ready,
  // handles them, and serves at most one complete request.
  void RunOnce(int max_wait_ms);
  // Rounds for ever.
  [[noreturn]] void Run();

  // Connections not yet closed.
  size_t OpenCount() const;

 private:
  void Accept(uint32_t now);
  // Whether a new connection from `peer` gets a slot, once the oldest idle
  // reader in its way was dropped.
  bool MakeRoom(const sockaddr_in& peer);
  // Whether fewer than `bound` connections that `which` selects are open,
  // after dropping the oldest idle one of them when they were at the bound.
  template <typename Which>
  bool Below(Which which, size_t bound);
  template <typename Which>
  void DropOldestIdle(Which which);
  // Reads what a connection's client sent and judges a request whose
  // header has just come: refused when a host on the network sends a GET
  // with a body, ended at its header when the handler will refuse it
  // whatever its body holds, else its body may come.
  void Read(Connection& connection, uint32_t now);
  void ServeNext(uint32_t now);
  int PollTimeout(uint32_t now, int max_wait_ms) const;

  // From any thread: the connection with `id` may be served again.
  void PostResume(uint64_t id);
  // Makes the connections whose resumption was posted ready again.
  void TakeResumed();

  SocketHandle listener_;
  RequestHandler& handler_;
  WakePipe wake_;  // ends the poll when a resumption is posted
  std::mutex resumed_lock_;
  std::vector<uint64_t> resumed_;  // under resumed_lock_
  FrontLimits limits_;
  std::list<std::unique_ptr<Connection>> connections_;
  std::deque<Connection*> ready_;         // complete requests in order of completion
  std::vector<pollfd> poll_fds_;          // a round's sockets, and their connections
  std::vector<Connection*> poll_owners_;  // (nullptr: the listener)
  uint32_t accept_resume_ = 0;            // tick before which accepting pauses
  bool accept_paused_ = false;
  bool accept_failing_ = false;  // the last accept failed for a shortage
};

}  // namespace ferro
