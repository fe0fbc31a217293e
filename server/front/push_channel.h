#pragma once
// The push channel: one loopback TCP connection that the user interface opens
// once, into which the server writes short notices ("device_set", "trap",
// "app_exit"), each followed by a zero byte. The notices carry no data; the
// user interface fetches the details with the matching SOAP operation.

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/socket.h"

namespace ferro {

inline constexpr uint16_t kPushPort = 64568;
// How long a new connection may stay silent before the next one is taken: a
// local process that connects first and says nothing must not keep the user
// interface out.
inline constexpr int kFirstReceiveMs = 10000;

class PushChannel {
 public:
  // `address` is an IPv4 address in dotted form; port 0 picks a free port.
  explicit PushChannel(const char* address = "127.0.0.1", uint16_t port = kPushPort,
                       int first_receive_ms = kFirstReceiveMs);
  ~PushChannel();
  PushChannel(const PushChannel&) = delete;
  PushChannel& operator=(const PushChannel&) = delete;

  // Opens the listener; false (after logging, LastSocketError telling why)
  // when it cannot be opened.
  bool Listen();
  // The port the listener is bound to (after Listen).
  uint16_t port() const { return port_; }
  // Accepts connections until one has sent its first packet (or closed)
  // within the first-receive time, then closes the listener. That
  // connection stays the client for good.
  void AcceptClient();

  // Writes `text` and its zero byte in one send. 0 when handed to the
  // connection, -1 when no client is connected, -2 when sending failed or
  // the client does not read (the notice is lost; the caller never waits).
  // Safe to call from any thread; concurrent notices never interleave, and a
  // notice the connection took only in part is completed before the next.
  int Send(std::string_view text);

 private:
  void CloseListener();
  // Writes as much of pending_ as the connection takes now (under mutex_).
  void FlushPending();

  const char* address_;
  uint16_t port_;
  int first_receive_ms_;
  SocketHandle listener_ = kNoSocket;
  SocketHandle client_ = kNoSocket;  // written under mutex_
  std::string pending_;              // the unsent tail of the last notice (under mutex_)
  std::mutex mutex_;
};

// The process's push channel; the server makes PushSend the sink of the
// notices (engine/notices.h).
PushChannel& ThePushChannel();

// Thread procedure of the server: take the client of the process's push
// channel, whose listener (127.0.0.1:64568) is already open.
void PushThread();

// Sends a notice on the process's push channel.
int PushSend(std::string_view text);

}  // namespace ferro
