#include "push_channel.h"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>

#include "access_rule.h"
#include "platform/diag.h"

namespace ferro {

PushChannel::PushChannel(const char* address, uint16_t port, int first_receive_ms)
    : address_(address), port_(port), first_receive_ms_(first_receive_ms) {}

PushChannel::~PushChannel() {
  CloseListener();
  if (IsValidSocket(client_)) CloseSocket(client_);
}

void PushChannel::CloseListener() {
  if (!IsValidSocket(listener_)) return;
  CloseSocket(listener_);
  listener_ = kNoSocket;
  std::fprintf(stderr, "Server push socket closed.\n");
}

bool PushChannel::Listen() {
  StartSockets();
  listener_ = ::socket(AF_INET, SOCK_STREAM | kCloseOnExec, 0);
  if (!IsValidSocket(listener_)) {
    std::fprintf(stderr, "Push Socket INVALID_SOCKET!\n");
    return false;
  }
  // A server restarted right after the previous one ended finds the old push
  // connection in TIME_WAIT; that must not cost it its push channel. (A port
  // that another program listens on still fails to bind.)
#ifdef _WIN32
  // There SO_REUSEADDR would let another program bind the same port beside
  // the server and take its notices; a port in TIME_WAIT binds without it.
  const BOOL one = TRUE;
  ::setsockopt(listener_, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
               sizeof one);
#else
  const int one = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port_);
  ::inet_pton(AF_INET, address_, &addr.sin_addr);
  const int rc = ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  if (rc != 0) {
    const int why = LastSocketError();
    std::fprintf(stderr, "Push Socket bind error! error code =%d \n", rc);
    CloseListener();
#ifdef _WIN32
    WSASetLastError(why);  // the caller may name who holds the port
#else
    errno = why;
#endif
    return false;
  }
  socklen_t len = sizeof addr;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  ::listen(listener_, 5);
  std::printf("Server push socket start to listen, port =%d.\n", port_);
  std::fflush(stdout);
  return true;
}

void PushChannel::AcceptClient() {
  if (!IsValidSocket(listener_)) return;
  for (;;) {
    sockaddr_in peer{};
    // Non-blocking: every receive and send on it must return at once.
    const SocketHandle fd = AcceptSocket(listener_, &peer, true);
    if (!IsValidSocket(fd)) {
      std::printf("Accept connection error \n");
      std::fflush(stdout);
      continue;
    }
    char peer_text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &peer.sin_addr, peer_text, sizeof peer_text);
    // The notices are the server's user's: another user of the machine may
    // neither take the channel nor keep it from the user interface.
    if (const std::optional<std::string> refused = OwnerRefusal(fd)) {
      std::printf("Push connection from %s refused: %s\n", peer_text, refused->c_str());
      std::fflush(stdout);
      CloseSocket(fd);
      continue;
    }
    {
      std::lock_guard lock(mutex_);
      if (IsValidSocket(client_)) CloseSocket(client_);  // a connection that never sent is replaced
      client_ = fd;
    }
    std::printf("Accept connection from %s, %d \n", peer_text, static_cast<int>(fd));
    std::fflush(stdout);
    char buf[257];
    ssize_t n = -1;
    pollfd pfd{fd, POLLIN, 0};
    int ready;
    do {
      ready = PollSockets(&pfd, 1, first_receive_ms_);
    } while (ready < 0 && IsInterrupted(LastSocketError()));
    if (ready > 0) {
      do {
        n = ::recv(fd, buf, 256, kDontWaitFlag);
      } while (n < 0 && IsInterrupted(LastSocketError()));
    }
    if (n < 0) {
      // Silent for too long, or failed: the connection is given up and the
      // next one may become the client.
      std::printf("Recive packet error!\n");
      std::fflush(stdout);
      std::lock_guard lock(mutex_);
      if (client_ == fd) client_ = kNoSocket;
      CloseSocket(fd);
      continue;
    }
    buf[n] = '\0';
    std::printf("Recive packet OK from %s: %s\n", peer_text, buf);
    break;
  }
  std::printf("we can send messge now! \n\n");
  std::fflush(stdout);
  CloseListener();
}

void PushChannel::FlushPending() {
  while (!pending_.empty()) {
    // Never blocks: the engine threads that send notices must not wait for a
    // user interface that stopped reading. MSG_NOSIGNAL: one that went away
    // must not kill the server.
    const ssize_t n =
        SendBytes(client_, pending_.data(), pending_.size(), kNoSignalFlag | kDontWaitFlag);
    if (n < 0 && IsInterrupted(LastSocketError())) continue;
    if (n <= 0) return;
    pending_.erase(0, static_cast<size_t>(n));
  }
}

int PushChannel::Send(std::string_view text) {
  int result;
  {
    std::lock_guard lock(mutex_);
    if (!IsValidSocket(client_)) {
      result = -1;
    } else {
      FlushPending();
      if (!pending_.empty()) {
        result = -2;  // the previous notice is still not taken: this one is lost
      } else {
        pending_.assign(text);
        pending_.push_back('\0');
        const size_t size = pending_.size();
        FlushPending();
        // Handed over when the connection took at least a part: the rest
        // follows before the next notice, so the stream stays whole.
        result = pending_.size() < size ? 0 : -2;
        if (pending_.size() == size) pending_.clear();
      }
    }
  }
  // Every trap a LAN host sends brings a notice: these lines are limited
  // (platform/diag.h), trap notices apart, so that a flood never hides the
  // lines of the others.
  static DiagLimit trapLines("Cmd Send: trap");
  static DiagLimit otherLines("Cmd Send");
  (text == "trap" ? trapLines : otherLines)
      .Print("Cmd Send: %.*s. %s! Ret=%d.\n", static_cast<int>(text.size()), text.data(),
             result == 0 ? "success" : "fail", result);
  return result;
}

PushChannel& ThePushChannel() {
  // Never destroyed: notices may still be sent while the process exits.
  static PushChannel* channel = new PushChannel;
  return *channel;
}

void PushThread() { ThePushChannel().AcceptClient(); }

int PushSend(std::string_view text) { return ThePushChannel().Send(text); }

}  // namespace ferro
