#pragma once
// Events as syslog lines: RFC 5424 messages (facility daemon) whose
// structured data carries the event's kind, MAC and address, sent as one
// datagram each to the local syslog socket (/dev/log), which journald and
// rsyslog both listen on. Sending never blocks: a message that the socket
// does not take at once, or that has no socket to go to, is dropped.

#include <cstdint>
#include <string>
#include <string_view>

namespace ferro::history {

inline constexpr char kSyslogSocket[] = "/dev/log";

// The whole message: "<PRI>1 TIME HOST ferrolink PID KIND [ferrolink@32473
// kind=.. mac=.. address=..] TEXT".
std::string SyslogMessage(int64_t time_ms, std::string_view kind, std::string_view mac,
                          std::string_view address, std::string_view text, int pid,
                          std::string_view host);

// A connected, non-blocking datagram socket to the syslog socket.
class SyslogSender {
 public:
  explicit SyslogSender(std::string path = kSyslogSocket) : path_(std::move(path)) {}
  ~SyslogSender();
  SyslogSender(const SyslogSender&) = delete;
  SyslogSender& operator=(const SyslogSender&) = delete;
  // False when the message was dropped (no socket, or it would block).
  bool Send(std::string_view message);

 private:
  bool Connect();
  std::string path_;
  int fd_ = -1;
  int64_t next_try_ms_ = 0;
};

}  // namespace ferro::history
