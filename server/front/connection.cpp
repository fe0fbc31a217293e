#ifdef _WIN32
// SIO_TCP_INFO: Windows 10 1703 and later.
#define NTDDI_VERSION 0x0A000003
#endif
#include "connection.h"

#ifdef _WIN32
#include <mstcpip.h>
#else
#include <linux/sockios.h>
#include <sys/ioctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include "answer_buffer.h"

namespace ferro {
namespace {

uint64_t NextConnectionId() {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1);
}

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

}  // namespace

Connection::Connection(SocketHandle fd, const sockaddr_in& peer, uint32_t now,
                       const ConnectionLimits& limits)
    : fd_(fd),
      id_(NextConnectionId()),
      peer_(peer),
      limits_(limits),
      deadline_(now + limits.request_ms),
      last_activity_(now) {
  char text[INET_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  peer_text_ = text;
}

Connection::~Connection() { Close(); }

void Connection::Wait(std::shared_ptr<AsideWork> work) {
  if (state_ != State::kReady) return;
  aside_ = std::move(work);
  state_ = State::kWaiting;
}

void Connection::Resume() {
  if (state_ == State::kWaiting) state_ = State::kReady;
}

bool Connection::loopback() const { return (ntohl(peer_.sin_addr.s_addr) >> 24) == 127; }

short Connection::Events() const {
  switch (state_) {
    case State::kReading:
    case State::kLingering:
      return POLLIN;
    case State::kWriting:
      return POLLOUT;
    case State::kReady:
    case State::kWaiting:
    case State::kClosed:
      break;
  }
  return 0;
}

void Connection::OnReadable(uint32_t now) {
  char buf[65536];
  // At most 1 MiB per turn, so that a fast sender does not keep the others
  // of the round waiting; the rest is read on the next turn.
  for (int turn = 0; turn < 16; ++turn) {
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0 && IsInterrupted(LastSocketError())) continue;
    if (n < 0 && IsWouldBlock(LastSocketError())) return;
    if (state_ == State::kLingering) {
      if (n <= 0) Close();  // the client has closed too: done
      if (n <= 0) return;
      continue;  // what the client still sends is read and dropped
    }
    if (state_ != State::kReading) return;
    if (n <= 0) {
      // The client left or half-closed: a request cut short is refused,
      // and one that never began needs no answer.
      if (n < 0 || !parser_.started()) {
        Close();
      } else {
        Refuse("400 Bad Request", now);
      }
      return;
    }
    last_activity_ = now;
    const bool had_header = parser_.header_done();
    const http::RequestParser::Status status =
        parser_.Feed(std::string_view(buf, static_cast<size_t>(n)));
    DrainBody();
    switch (status) {
      case http::RequestParser::Status::kNeedMore:
        // The header has just become complete: the front judges it before
        // any more of the body is read and kept.
        if (!had_header && parser_.header_done()) return;
        break;
      case http::RequestParser::Status::kComplete:
        state_ = State::kReady;
        whole_request_ = true;
        return;
      case http::RequestParser::Status::kTooLarge:
        Refuse("413 Request Entity Too Large", now);
        return;
      case http::RequestParser::Status::kMalformed:
        Refuse("400 Bad Request", now);
        return;
    }
  }
}

void Connection::OnWritable(uint32_t now) {
  if (state_ == State::kWriting) Flush(now);
}

void Connection::OnDeadline(uint32_t now) {
  switch (state_) {
    case State::kReading:
      if (sink_ && parser_.received() - window_received_ >= limits_.body_progress_bytes) {
        window_received_ = parser_.received();
        deadline_ = now + limits_.body_progress_ms;
        break;
      }
      if (sink_) {
        Refuse("408 Request Timeout", now);
      } else if (parser_.started()) {
        Refuse("400 Bad Request", now);
      } else {
        Close();
      }
      break;
    case State::kWriting:
      // The progress window is over: what the socket takes now counts, and
      // a client that took too little of its answer in it is dropped.
      Flush(now);
      if (state_ != State::kWriting) break;
      if (taken_ - window_taken_ < limits_.write_progress_bytes) {
        Close();
        break;
      }
      window_taken_ = taken_;
      deadline_ = now + limits_.write_progress_ms;
      break;
    case State::kLingering:
      Close();
      break;
    case State::kReady:
    case State::kWaiting:
    case State::kClosed:
      break;
  }
}

void Connection::Stream(std::string_view piece) {
  if (state_ != State::kReady || piece.empty()) return;
  streamed_ = true;
  if (!SendKept()) return;
  if (out_sent_ == out_.size()) {
    // Nothing waits before this piece: it goes out as far as the socket takes it.
    out_.clear();
    out_sent_ = 0;
    while (!piece.empty()) {
      const ssize_t n = SendBytes(fd_, piece.data(), piece.size(), kNoSignalFlag | kDontWaitFlag);
      if (n < 0 && IsInterrupted(LastSocketError())) continue;
      if (n < 0 && IsWouldBlock(LastSocketError())) break;
      if (n <= 0) {
        Close();  // the client is gone
        return;
      }
      taken_ += static_cast<size_t>(n);
      piece.remove_prefix(static_cast<size_t>(n));
    }
  }
  if (piece.empty()) return;
  // The room made for the answer is taken at once, so that a client that
  // does not read makes the kept part grow without copies.
  if (out_.capacity() < reserved_) out_.reserve(reserved_);
  out_.append(piece);
  Recount();
}

void Connection::Answer(std::string answer, uint32_t now) {
  if (state_ != State::kReady) return;
  StartWriting(std::move(answer), now);
}

void Connection::EndAtHeader() {
  if (!HeaderDone()) return;
  parser_.EndAtHeader();
  state_ = State::kReady;
}

void Connection::Drop() { Close(); }

namespace {

using Clock = std::chrono::steady_clock;

// Bytes sent on `s` that the client's side has not acknowledged yet (1
// when that cannot be told).
int UnacknowledgedBytes(SocketHandle s) {
#ifdef _WIN32
  // The TCP information of Windows 10 (SIO_TCP_INFO): what is in flight.
  DWORD version = 0;
  TCP_INFO_v0 info{};
  DWORD returned = 0;
  if (WSAIoctl(s, SIO_TCP_INFO, &version, sizeof version, &info, sizeof info, &returned, nullptr,
               nullptr) != 0 ||
      returned < sizeof info) {
    return 1;
  }
  return info.BytesInFlight > 0 ? static_cast<int>(std::min<ULONG>(info.BytesInFlight, INT32_MAX))
                                : 0;
#else
  int queued = 0;
  return ::ioctl(s, SIOCOUTQ, &queued) == 0 ? queued : 1;
#endif
}

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, 60000));
}

}  // namespace

bool Connection::SendNow(std::string_view answer, uint32_t within_ms) {
  if (state_ != State::kReady || !SendKept()) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(within_ms);
  while (!answer.empty()) {
    const ssize_t n = SendBytes(fd_, answer.data(), answer.size(), kNoSignalFlag | kDontWaitFlag);
    if (n < 0 && IsInterrupted(LastSocketError())) continue;
    if (n < 0 && IsWouldBlock(LastSocketError())) {
      const int left = MillisecondsLeft(deadline);
      if (left == 0) return false;
      pollfd p{fd_, POLLOUT, 0};
      PollSockets(&p, 1, left);
      continue;
    }
    if (n <= 0) {
      Close();  // the client is gone
      return false;
    }
    taken_ += static_cast<size_t>(n);
    answer.remove_prefix(static_cast<size_t>(n));
  }
  ::shutdown(fd_, kShutWrite);
  state_ = State::kLingering;
  return true;
}

bool Connection::LingerThenClose(uint32_t ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  const auto latest = end + std::chrono::seconds(1);
  bool client_closed = false;
  // Bytes sent that the client's side has not acknowledged yet.
  const auto unacknowledged = [this] { return UnacknowledgedBytes(fd_); };
  while (state_ == State::kLingering) {
    if (Clock::now() >= end && unacknowledged() == 0) break;
    const int left = MillisecondsLeft(Clock::now() < end ? end : latest);
    if (left == 0) break;
    // Polled in short steps after `end`: acknowledgment shows on no poll event.
    pollfd p{fd_, POLLIN, 0};
    if (PollSockets(&p, 1, Clock::now() < end ? left : std::min(left, 10)) <= 0) continue;
    char drop[4096];
    const ssize_t n = ::recv(fd_, drop, sizeof drop, kDontWaitFlag);
    if (n == 0 ||
        (n < 0 && !IsInterrupted(LastSocketError()) && !IsWouldBlock(LastSocketError()))) {
      client_closed = n == 0;
      break;
    }
  }
  const bool delivered = state_ == State::kLingering && (client_closed || unacknowledged() == 0);
  Close();
  return delivered;
}

void Connection::StreamBody(std::unique_ptr<BodySink> sink, uint32_t now) {
  if (sink_asked_ || (!HeaderDone() && state_ != State::kReady)) return;
  sink_asked_ = true;
  if (!sink) return;
  sink_ = std::move(sink);
  DrainBody();
  window_received_ = parser_.received();
  if (state_ == State::kReading) deadline_ = now + limits_.body_progress_ms;
}

void Connection::DrainBody() {
  if (!sink_) return;
  std::string& body = parser_.request().body;
  if (body.empty()) return;
  sink_->Write(body);
  body.clear();  // its room serves the next piece
}

void Connection::AcceptBody() {
  // A body kept in memory gets its room at once.
  if (!sink_) parser_.ReserveBody();
  if (HeaderDone() && parser_.TakeContinue()) {
    // Tiny, and the socket has just been empty: sent at once.
    (void)SendBytes(fd_, kContinue.data(), kContinue.size(), kNoSignalFlag | kDontWaitFlag);
  }
}

bool Connection::ReserveAnswer(size_t bytes) {
  if (state_ != State::kReady) return false;
  if (bytes <= counted_) {
    reserved_ = std::max(reserved_, bytes);
    return true;
  }
  if (!FrontAnswerBuffers().Fits(bytes - counted_)) return false;
  reserved_ = bytes;
  Recount();
  return true;
}

void Connection::Recount() {
  const size_t now_held = state_ == State::kClosed ? 0 : std::max(reserved_, out_.capacity());
  FrontAnswerBuffers().Hold(counted_, now_held);
  counted_ = now_held;
}

void Connection::Refuse(const char* status, uint32_t now) {
  sink_.reset();  // what it holds of a body cut short is of no use
  StartWriting(
      std::string("HTTP/1.1 ") + status + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
      now);
}

void Connection::StartWriting(std::string bytes, uint32_t now) {
  if (out_sent_ == out_.size()) {
    out_ = std::move(bytes);
    out_sent_ = 0;
  } else {
    out_.append(bytes);  // behind what was streamed and is still waiting
  }
  state_ = State::kWriting;
  window_taken_ = taken_;
  deadline_ = now + limits_.write_progress_ms;
  Recount();
  Flush(now);
}

bool Connection::SendKept() {
  while (out_sent_ < out_.size()) {
    const ssize_t n = SendBytes(fd_, out_.data() + out_sent_, out_.size() - out_sent_,
                                kNoSignalFlag | kDontWaitFlag);
    if (n < 0 && IsInterrupted(LastSocketError())) continue;
    if (n < 0 && IsWouldBlock(LastSocketError())) return true;
    if (n <= 0) {
      Close();  // the client is gone
      return false;
    }
    out_sent_ += static_cast<size_t>(n);
    taken_ += static_cast<size_t>(n);
  }
  return true;
}

void Connection::Flush(uint32_t now) {
  if (!SendKept()) return;
  if (out_sent_ < out_.size()) return;
  // All written: the budget no longer counts the answer, and a large
  // answer's buffer serves the next large answer.
  std::string spent = std::move(out_);
  out_ = std::string();
  out_sent_ = 0;
  reserved_ = 0;
  Recount();
  FrontAnswerBuffers().Give(std::move(spent), now);
  // The whole request was read and nothing came behind it: the answer says
  // the connection closes, so the client sends nothing more, and closing
  // now ends it with a plain FIN.
  if (whole_request_ && !BytesWaiting()) {
    Close();
    return;
  }
  // Closing now, with request bytes still unread (a refused body, or bytes
  // behind the request), would make the kernel reset the connection and the
  // client could lose the answer: shut the write side, and read until the
  // client closes (briefly).
  ::shutdown(fd_, kShutWrite);
  state_ = State::kLingering;
  deadline_ = now + limits_.linger_ms;
}

bool Connection::BytesWaiting() const {
  char byte;
  return ::recv(fd_, &byte, 1, MSG_PEEK | kDontWaitFlag) > 0;
}

void Connection::Close() {
  if (IsValidSocket(fd_)) CloseSocket(fd_);
  fd_ = kNoSocket;
  state_ = State::kClosed;
  sink_.reset();
  // What was kept for the client is of no use any more.
  std::string().swap(out_);
  out_sent_ = 0;
  reserved_ = 0;
  Recount();
}

}  // namespace ferro
