#pragma once
// Events as syslog lines (facility daemon), one datagram each to the local
// syslog socket (/dev/log), which journald and rsyslog both listen on.
//
// The line has the header that syslog(3) writes on that socket, and the
// message starts with an RFC 5424 structured-data element carrying the
// event's kind, MAC and address:
//   <30>Dec  9 20:40:00 ferrolink[42]: [ferrolink@32473 kind="trap"
//   mac="00:11:22:aa:bb:cc" address="192.168.1.20"] port 3 link down
// A whole RFC 5424 header would be misread on this socket: journald reads
// only this header (it would lose the program's name and pid), and so does
// rsyslog's socket input unless its special parser is turned off. With this
// form both file the line under "ferrolink" with its pid and priority, and
// the structured data travels in the message, for central collectors to
// pick out.
//
// Sending never blocks: a message that the socket does not take at once,
// or that has no socket to go to, is dropped.

#include <cstdint>
#include <string>
#include <string_view>

namespace ferro::history {

inline constexpr char kSyslogSocket[] = "/dev/log";

// The whole message (above); the time in the local zone.
std::string SyslogMessage(int64_t time_ms, std::string_view kind, std::string_view mac,
                          std::string_view address, std::string_view text, int pid);

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
