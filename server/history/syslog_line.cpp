#include "history/syslog_line.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "history/event_store.h"

namespace ferro::history {
namespace {

constexpr int kFacilityDaemon = 3;
constexpr int kSeverityWarning = 4;
constexpr int kSeverityInfo = 6;
// Without a socket, try again this often.
constexpr int64_t kReconnectMs = 10000;
// Longer messages are cut: a datagram socket refuses what it cannot hold.
constexpr size_t kMaxTextBytes = 1024;

// An SD-PARAM value: '"', '\' and ']' escaped with '\'.
std::string ParamValue(std::string_view value) {
  std::string out;
  for (char c : value.substr(0, 256)) {
    if (c == '"' || c == '\\' || c == ']') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

// "Dec  9 20:40:00": the month's name in English whatever the locale.
std::string LocalStamp(int64_t time_ms) {
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t seconds = static_cast<std::time_t>(time_ms / 1000);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  char text[64];
  std::snprintf(text, sizeof text, "%s %2d %02d:%02d:%02d", kMonths[local.tm_mon % 12],
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

}  // namespace

std::string SyslogMessage(int64_t time_ms, std::string_view kind, std::string_view mac,
                          std::string_view address, std::string_view text, int pid) {
  const bool trouble = kind == "agent_dead";
  const int pri = kFacilityDaemon * 8 + (trouble ? kSeverityWarning : kSeverityInfo);
  std::string out = "<" + std::to_string(pri) + ">" + LocalStamp(time_ms) + " ferrolink[" +
                    std::to_string(pid) + "]: [ferrolink@32473 kind=\"" + ParamValue(kind) + "\"";
  if (!mac.empty()) out += " mac=\"" + ParamValue(mac) + "\"";
  if (!address.empty()) out += " address=\"" + ParamValue(address) + "\"";
  out += "]";
  if (!text.empty()) {
    out += " ";
    for (char c : text.substr(0, kMaxTextBytes)) {
      out.push_back(c == '\n' || c == '\r' ? ' ' : c);
    }
  }
  return out;
}

#ifdef _WIN32
// Windows has no local syslog socket: every line is dropped, as when no
// listener is there on Linux.
SyslogSender::~SyslogSender() = default;

bool SyslogSender::Connect() { return false; }

bool SyslogSender::Send(std::string_view) { return false; }
#else
SyslogSender::~SyslogSender() {
  if (fd_ >= 0) ::close(fd_);
}

bool SyslogSender::Connect() {
  if (fd_ >= 0) return true;
  const int64_t now = NowMs();
  if (now < next_try_ms_) return false;
  next_try_ms_ = now + kReconnectMs;
  sockaddr_un addr{};
  if (path_.size() >= sizeof addr.sun_path) return false;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool SyslogSender::Send(std::string_view message) {
  if (!Connect()) return false;
  if (::send(fd_, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return true;
  if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS) {
    // The listener went away (restarted): connect again later.
    ::close(fd_);
    fd_ = -1;
  }
  return false;
}
#endif

}  // namespace ferro::history
