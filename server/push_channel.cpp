#include "push_channel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace ferro {

PushChannel::PushChannel(const char* address, uint16_t port) : address_(address), port_(port) {}

PushChannel::~PushChannel() {
  CloseListener();
  if (client_ >= 0) ::close(client_);
}

void PushChannel::CloseListener() {
  if (listener_ < 0) return;
  ::close(listener_);
  listener_ = -1;
  std::fprintf(stderr, "Server push socket closed.\n");
}

bool PushChannel::Listen() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) {
    std::fprintf(stderr, "Push Socket INVALID_SOCKET!\n");
    return false;
  }
  // A server restarted right after the previous one ended finds the old push
  // connection in TIME_WAIT; that must not cost it its push channel. (A port
  // that another program listens on still fails to bind.)
  const int one = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port_);
  ::inet_pton(AF_INET, address_, &addr.sin_addr);
  const int rc = ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  if (rc != 0) {
    std::fprintf(stderr, "Push Socket bind error! error code =%d \n", rc);
    CloseListener();
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
  if (listener_ < 0) return;
  for (;;) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0) {
      std::printf("Accept connection error \n");
      std::fflush(stdout);
      continue;
    }
    char peer_text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &peer.sin_addr, peer_text, sizeof peer_text);
    {
      std::lock_guard lock(mutex_);
      if (client_ >= 0) ::close(client_);  // a connection that never sent is replaced
      client_ = fd;
    }
    std::printf("Accept connection from %s, %d \n", peer_text, fd);
    std::fflush(stdout);
    char buf[257];
    ssize_t n;
    do {
      n = ::recv(fd, buf, 256, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      std::printf("Recive packet error!\n");
      std::fflush(stdout);
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

int PushChannel::Send(std::string_view text) {
  const std::string message = std::string(text) + '\0';
  int result;
  {
    std::lock_guard lock(mutex_);
    if (client_ < 0) {
      result = -1;
    } else {
      // MSG_NOSIGNAL: a user interface that went away must not kill the server.
      const ssize_t n = ::send(client_, message.data(), message.size(), MSG_NOSIGNAL);
      result = n == static_cast<ssize_t>(message.size()) ? 0 : -2;
    }
  }
  std::printf("Cmd Send: %.*s. %s! Ret=%d.\n", static_cast<int>(text.size()), text.data(),
              result == 0 ? "success" : "fail", result);
  std::fflush(stdout);
  return result;
}

PushChannel& ThePushChannel() {
  // Never destroyed: notices may still be sent while the process exits.
  static PushChannel* channel = new PushChannel;
  return *channel;
}

void PushThread() {
  PushChannel& channel = ThePushChannel();
  if (channel.Listen()) channel.AcceptClient();
}

int PushSend(std::string_view text) { return ThePushChannel().Send(text); }

}  // namespace ferro
