#pragma once
// The push channel: one loopback TCP connection that the user interface opens
// once, into which the server writes short notices ("device_set", "trap",
// "app_exit"), each followed by a zero byte. The notices carry no data; the
// user interface fetches the details with the matching SOAP operation.

#include <cstdint>
#include <mutex>
#include <string_view>

namespace ferro {

inline constexpr uint16_t kPushPort = 64568;

class PushChannel {
 public:
  // `address` is an IPv4 address in dotted form; port 0 picks a free port.
  explicit PushChannel(const char* address = "127.0.0.1", uint16_t port = kPushPort);
  ~PushChannel();
  PushChannel(const PushChannel&) = delete;
  PushChannel& operator=(const PushChannel&) = delete;

  // Opens the listener; false (after logging) when it cannot be opened.
  bool Listen();
  // The port the listener is bound to (after Listen).
  uint16_t port() const { return port_; }
  // Accepts connections until one has sent its first packet (or closed), then
  // closes the listener. That connection stays the client for good.
  void AcceptClient();

  // Writes `text` and its zero byte in one send. 0 when handed to the
  // connection, -1 when no client is connected, -2 when sending failed.
  // Safe to call from any thread; concurrent notices never interleave.
  int Send(std::string_view text);

 private:
  void CloseListener();

  const char* address_;
  uint16_t port_;
  int listener_ = -1;
  int client_ = -1;  // written under mutex_
  std::mutex mutex_;
};

// The process's push channel, used by the operations and the engine.
PushChannel& ThePushChannel();

// Thread procedure of the server: listen on 127.0.0.1:64568 and take the client.
void PushThread();

// Sends a notice on the process's push channel.
int PushSend(std::string_view text);

}  // namespace ferro
