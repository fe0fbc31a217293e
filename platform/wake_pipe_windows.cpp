// The wake-up on Windows: a TCP connection over loopback with itself. The
// listener that makes it lives only until its one connection is taken, and
// a connection from anybody else (another process that found the port in
// that instant) is refused: the accepted end must be the one this process
// connected.
#include "platform/wake_pipe.h"

namespace ferro {
namespace {

bool SameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

}  // namespace

WakePipe::~WakePipe() {
  if (read_ != kNoSocket) closesocket(read_);
  if (write_ != kNoSocket) closesocket(write_);
}

bool WakePipe::Open() {
  if (!StartSockets()) return false;
  const SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener == INVALID_SOCKET) return false;
  BOOL exclusive = TRUE;
  ::setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof addr;
  SOCKET writer = INVALID_SOCKET, reader = INVALID_SOCKET;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
      ::listen(listener, 4) == 0) {
    writer = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  }
  sockaddr_in mine{};
  int mine_len = sizeof mine;
  if (writer != INVALID_SOCKET &&
      (::connect(writer, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
       ::getsockname(writer, reinterpret_cast<sockaddr*>(&mine), &mine_len) != 0)) {
    closesocket(writer);
    writer = INVALID_SOCKET;
  }
  // The connection is in the backlog already; a few strangers before it
  // are closed (bounded: the backlog holds only a few).
  for (int attempt = 0; writer != INVALID_SOCKET && attempt < 8; ++attempt) {
    sockaddr_in peer{};
    int peer_len = sizeof peer;
    const SOCKET s = ::accept(listener, reinterpret_cast<sockaddr*>(&peer), &peer_len);
    if (s == INVALID_SOCKET) break;
    if (SameEndpoint(peer, mine)) {
      reader = s;
      break;
    }
    closesocket(s);
  }
  closesocket(listener);
  if (reader == INVALID_SOCKET) {
    if (writer != INVALID_SOCKET) closesocket(writer);
    return false;
  }
  // Each wake-up is one byte that must go at once, not wait for the one before it.
  BOOL no_delay = TRUE;
  ::setsockopt(writer, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&no_delay),
               sizeof no_delay);
  if (!SetNonBlocking(reader, true) || !SetNonBlocking(writer, true)) {
    closesocket(reader);
    closesocket(writer);
    return false;
  }
  read_ = reader;
  write_ = writer;
  return true;
}

void WakePipe::Signal() {
  const char byte = 1;
  // A full connection already holds a wake-up.
  ::send(write_, &byte, 1, 0);
}

void WakePipe::Drain() {
  char drain[64];
  while (::recv(read_, drain, sizeof drain, 0) > 0) {
  }
}

}  // namespace ferro
