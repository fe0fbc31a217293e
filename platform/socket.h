#pragma once
// Sockets on both systems: the handle type and the few calls whose form
// differs between the Berkeley sockets of Linux and Winsock. Everything
// else (socket, bind, sendto, recvfrom, select, setsockopt) is called as it
// is on either system.

#include <cstdint>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which it needs.
#include <mswsock.h>
#else
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#endif

namespace ferro {

#ifdef _WIN32
using SocketHandle = SOCKET;
inline constexpr SocketHandle kNoSocket = INVALID_SOCKET;
// Windows raises no signal when the peer has gone; there is no flag for it.
inline constexpr int kNoSignalFlag = 0;
// No socket reaches a started program on Windows (platform/process.h names
// the handles a child inherits); there is no flag for it either.
inline constexpr int kCloseOnExec = 0;
#else
using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;
// A send to a peer that has gone fails with EPIPE instead of ending the
// process with SIGPIPE.
inline constexpr int kNoSignalFlag = MSG_NOSIGNAL;
// For the type argument of socket(): the socket is not inherited by
// programs this process starts.
inline constexpr int kCloseOnExec = SOCK_CLOEXEC;
#endif

inline bool IsValidSocket(SocketHandle s) { return s != kNoSocket; }

// Starts the sockets library (Winsock 2.2) once per process; true when it
// is usable. Nothing to start on Linux. Call before the first socket.
inline bool StartSockets() {
#ifdef _WIN32
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
#else
  return true;
#endif
}

inline int CloseSocket(SocketHandle s) {
#ifdef _WIN32
  return closesocket(s);
#else
  return close(s);
#endif
}

// The error of the last failed socket call on this thread (errno, or
// WSAGetLastError on Windows).
inline int LastSocketError() {
#ifdef _WIN32
  return WSAGetLastError();
#else
  return errno;
#endif
}

// The system's words for a socket error of LastSocketError (strerror does
// not know Winsock's numbers).
inline std::string SocketErrorText(int error) {
#ifdef _WIN32
  char text[256] = {};
  const DWORD n =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(error), 0, text, static_cast<DWORD>(sizeof text), nullptr);
  std::string out(text, n);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) {
    out.pop_back();
  }
  return out.empty() ? "error " + std::to_string(error) : out;
#else
  return std::strerror(error);
#endif
}

// Whether `error` only says that a non-blocking socket had nothing to give
// or no room to take: never a failure.
inline bool IsWouldBlock(int error) {
#ifdef _WIN32
  return error == WSAEWOULDBLOCK;
#else
  return error == EAGAIN || error == EWOULDBLOCK;
#endif
}

inline bool SetNonBlocking(SocketHandle s, bool on) {
#ifdef _WIN32
  u_long mode = on ? 1 : 0;
  return ioctlsocket(s, FIONBIO, &mode) == 0;
#else
  const int flags = fcntl(s, F_GETFL);
  if (flags < 0) return false;
  return fcntl(s, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
#endif
}

// Limits how long a blocking receive waits (0: without limit). Windows
// takes the time as a DWORD of milliseconds; a timeval there would be read
// as a number of milliseconds from its first bytes.
inline bool SetReceiveTimeout(SocketHandle s, uint32_t ms) {
#ifdef _WIN32
  const DWORD limit = ms;
  return setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
                    sizeof limit) == 0;
#else
  const timeval limit{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
  return setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0;
#endif
}

// On Windows an ICMP "port unreachable" after a datagram sent from a UDP
// socket makes that socket's next receive fail with WSAECONNRESET, which
// would stop a receive loop over one agent that went away; this turns that
// report off. Linux reports such errors only on connected sockets: nothing
// to do there.
inline bool IgnoreUdpUnreachable(SocketHandle s) {
#ifdef _WIN32
  BOOL report = FALSE;
  DWORD returned = 0;
  return WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr,
                  nullptr) == 0;
#else
  (void)s;
  return true;
#endif
}

#ifdef _WIN32
// Windows has no per-call flag: the sockets that must never block are made
// non-blocking (SetNonBlocking).
inline constexpr int kDontWaitFlag = 0;
inline constexpr int kShutWrite = SD_SEND;
#else
inline constexpr int kDontWaitFlag = MSG_DONTWAIT;
inline constexpr int kShutWrite = SHUT_WR;
#endif

// Whether `error` only says that a signal cut the call short: try again.
inline bool IsInterrupted(int error) {
#ifdef _WIN32
  return error == WSAEINTR;
#else
  return error == EINTR;
#endif
}

// send(2) of at most `size` bytes (Windows takes an int count): how many
// were taken, or -1.
inline long long SendBytes(SocketHandle s, const char* data, size_t size, int flags) {
#ifdef _WIN32
  return ::send(s, data, static_cast<int>(size < 0x40000000u ? size : 0x40000000u), flags);
#else
  return ::send(s, data, size, flags);
#endif
}

// poll(2) over sockets (WSAPoll on Windows, which takes sockets only).
inline int PollSockets(pollfd* fds, size_t count, int timeout_ms) {
#ifdef _WIN32
  return WSAPoll(fds, static_cast<ULONG>(count), timeout_ms);
#else
  return ::poll(fds, static_cast<nfds_t>(count), timeout_ms);
#endif
}

// Takes a connection from `listener`: not inherited by started programs,
// and non-blocking when asked. kNoSocket when none was taken
// (LastSocketError says why).
inline SocketHandle AcceptSocket(SocketHandle listener, sockaddr_in* peer, bool non_blocking) {
  socklen_t len = sizeof *peer;
#ifdef _WIN32
  const SocketHandle s = ::accept(listener, reinterpret_cast<sockaddr*>(peer), &len);
  if (s != kNoSocket && !SetNonBlocking(s, non_blocking)) {
    const int error = WSAGetLastError();
    closesocket(s);
    WSASetLastError(error);
    return kNoSocket;
  }
  return s;
#else
  return ::accept4(listener, reinterpret_cast<sockaddr*>(peer), &len,
                   SOCK_CLOEXEC | (non_blocking ? SOCK_NONBLOCK : 0));
#endif
}

}  // namespace ferro
