#pragma once
// One client connection of the HTTP front, from its first byte to its
// closing: it reads the request without ever blocking, answers interim
// "100 Continue" itself, refuses what cannot be served (400, 413), writes the
// answer it is given (or streams it as it is made), and closes so that the
// answer is not lost to a reset: at once when the whole request was read and
// nothing came behind it, else after reading until the client closes. The
// memory its answer holds counts against the front's answer budget until
// the answer is sent or the connection closes. The front's loop owns the
// connections and tells each when its socket is ready and what time it is.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/socket.h"
#include "request_parser.h"

namespace ferro {

// Work that a request's handler does aside, on a thread of its own, before
// it can answer (a dialog the user takes their time with): the request waits
// for it without holding up any other.
struct AsideWork {
  std::atomic<bool> done{false};
  int result = 0;  // written before done is set
};

// Where the body of a request goes when it is not kept in memory (an
// upload): it gets the body's bytes in order as they arrive. Destroyed
// with the connection, or when the request is refused, before its end.
class BodySink {
 public:
  virtual ~BodySink() = default;
  virtual void Write(std::string_view bytes) = 0;
};

struct ConnectionLimits {
  uint32_t request_ms = 10000;  // from accept to a complete request
  // A client must take at least `write_progress_bytes` of its answer (or
  // the rest of it) in every `write_progress_ms`, else it is dropped: a
  // client that reads slowly cannot hold its slot for ever.
  uint32_t write_progress_ms = 10000;
  size_t write_progress_bytes = 40 * 1024;  // 4 KiB/s
  uint32_t linger_ms = 1000;                // reading what the client still sends after the answer
  // A body that goes to a sink may take longer than request_ms, as long as
  // at least `body_progress_bytes` of it (or the rest) come in every
  // `body_progress_ms`: a stalled upload does not hold its slot for ever.
  uint32_t body_progress_ms = 10000;
  size_t body_progress_bytes = 256 * 1024;
};

class Connection {
 public:
  enum class State {
    kReading,    // the request is arriving
    kReady,      // the request is complete and waits for its turn
    kWaiting,    // its handler answers once its work aside is done
    kWriting,    // the answer is going out
    kLingering,  // answer sent, write side shut; waiting for the client to close
    kClosed,
  };

  Connection(SocketHandle fd, const sockaddr_in& peer, uint32_t now,
             const ConnectionLimits& limits);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  SocketHandle fd() const { return fd_; }
  State state() const { return state_; }
  const sockaddr_in& peer() const { return peer_; }
  // The peer's address in dotted form.
  const std::string& peer_text() const { return peer_text_; }
  // Whether the peer is on this machine (127.0.0.0/8).
  bool loopback() const;
  uint32_t last_activity() const { return last_activity_; }
  const http::Request& request() const { return parser_.request(); }

  // The poll events the connection waits for (0 when it waits for its turn).
  short Events() const;
  // The tick at which the current phase ends.
  uint32_t Deadline() const { return deadline_; }

  void OnReadable(uint32_t now);
  void OnWritable(uint32_t now);
  // Ends a phase whose deadline has come: an unfinished request is refused.
  void OnDeadline(uint32_t now);
  // True while the request is arriving and its header is complete. Reading
  // stops as soon as the header is complete, so that the front can judge
  // it before the body is read: it then refuses the request, ends it at its
  // header, or lets the body come.
  bool HeaderDone() const { return state_ == State::kReading && parser_.header_done(); }
  // Makes a request whose header is complete ready without its body (which
  // is then read and dropped only while the answer lingers).
  void EndAtHeader();
  // Refuses the request with `status` ("413 Request Entity Too Large"),
  // whatever of it is still to come.
  void Refuse(const char* status, uint32_t now);
  // Lets the body of a request whose header is complete come: a client that
  // waits for "100 Continue" gets it.
  void AcceptBody();
  // Sends the body of a request whose header is complete (or of a complete
  // request) to `sink` instead of keeping it: what is held already goes at
  // once, the rest as it arrives, under the body progress deadline.
  void StreamBody(std::unique_ptr<BodySink> sink, uint32_t now);
  // The sink the body went to, if any.
  BodySink* body_sink() const { return sink_.get(); }
  // Whether StreamBody was called (with a sink or without).
  bool sink_asked() const { return sink_asked_; }
  // Makes room within the front's answer budget for an answer of `bytes`
  // (header included) to a ready request: false, and nothing taken, when
  // the answers all connections hold would then pass it.
  bool ReserveAnswer(size_t bytes);
  // Sends a piece of the answer of a ready request while the rest is still
  // being made: straight to the socket as far as it takes it without
  // waiting, the rest kept, in order, for the writing phase. The memory an
  // answer holds is then only what the client has not yet taken.
  void Stream(std::string_view piece);
  // Whether any of the answer went through Stream.
  bool streamed() const { return streamed_; }
  // Hands over the answer of a ready request, or the rest of it after what
  // went through Stream.
  void Answer(std::string answer, uint32_t now);
  // Closes at once, without a word (a connection dropped for a newer one).
  void Drop();

  // For the answer to a request after which the process ends, which the
  // front's loop will never write: sends `answer` to a ready request's
  // client now, waiting for the socket at most `within_ms`, and shuts the
  // write side. False when the client is gone or the socket did not take the
  // answer in time.
  bool SendNow(std::string_view answer, uint32_t within_ms);
  // After SendNow: keeps the connection until the client closes its end, at
  // most `ms` (and up to a second longer while the client has not
  // acknowledged the whole answer), reading and dropping what the client
  // still sends, then closes it: closing with unread bytes would reset the
  // connection, and the client could lose the answer. Returns whether the
  // client has the answer (its end closed after it, or all acknowledged).
  bool LingerThenClose(uint32_t ms);

  // A number no other connection of the process has.
  uint64_t id() const { return id_; }
  // Sets a ready request aside until `work` is done; Resume makes it ready
  // again, for its handler to answer with the work's result.
  void Wait(std::shared_ptr<AsideWork> work);
  void Resume();
  // The work the request waited for, if any.
  const std::shared_ptr<AsideWork>& aside() const { return aside_; }

 private:
  void StartWriting(std::string bytes, uint32_t now);
  void Flush(uint32_t now);
  // Sends what is kept without waiting; false when the client is gone.
  bool SendKept();
  // Whether the client sent bytes that are not yet read.
  bool BytesWaiting() const;
  // Hands what the parser holds of the body to the sink.
  void DrainBody();
  // Brings what the answer budget counts for this connection up to date.
  void Recount();
  void Close();

  SocketHandle fd_;
  uint64_t id_;
  std::shared_ptr<AsideWork> aside_;
  sockaddr_in peer_;
  std::string peer_text_;
  ConnectionLimits limits_;
  State state_ = State::kReading;
  http::RequestParser parser_;
  std::unique_ptr<BodySink> sink_;
  bool sink_asked_ = false;
  size_t window_received_ = 0;  // request bytes received when the body progress window began
  std::string out_;
  size_t out_sent_ = 0;
  bool streamed_ = false;
  bool whole_request_ = false;  // the request was read to its end
  size_t reserved_ = 0;         // room in the answer budget made for the answer
  size_t counted_ = 0;          // what the answer budget counts for this connection
  uint64_t taken_ = 0;          // answer bytes the socket has taken
  uint64_t window_taken_ = 0;   // ... when the current progress window began
  uint32_t deadline_;
  uint32_t last_activity_;
};

}  // namespace ferro
