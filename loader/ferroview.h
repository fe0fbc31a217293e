#pragma once
// Ferroview, the desktop launcher of the user interface, on Windows: what it
// does apart from the desktop itself. It waits until the server answers on
// its service port, takes the server's push channel (the server accepts one
// client in its lifetime), opens the browser interface the server serves,
// shows each "trap" and "device_set" notice, and ends when the server says
// "app_exit" or goes away. (On Linux the launcher is loader/ferroview.py.)

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ferro::view {

inline constexpr uint16_t kServicePort = 64567;
inline constexpr uint16_t kPushPort = 64568;
// Longer text without its zero byte is not a notice: it is dropped.
inline constexpr size_t kMaxNotice = 256;

// The ports and times one run uses (tests shorten them and take free ports).
struct Settings {
  uint16_t servicePort = kServicePort;
  uint16_t pushPort = kPushPort;
  uint32_t serverWaitMs = 60000;  // the server may take this long to start
  uint32_t pushWaitMs = 5000;     // the push listener, once the server answers
  uint32_t retryMs = 250;         // between two looks at the service port
  // Refuse ports held by another user (tests whose stand-ins the system
  // cannot attribute turn this off).
  bool checkPortHolders = true;
};

// The address of the browser interface on the service port.
std::string InterfaceUrl(uint16_t servicePort);

// The notices the server pushes: each is ASCII text followed by one zero
// byte, and may arrive split across reads or several in one.
class NoticeReader {
 public:
  // The notices completed by `data`. Pending text longer than kMaxNotice is
  // dropped.
  std::vector<std::string> Feed(const char* data, size_t size);

 private:
  std::string pending_;
};

// What the user is shown for a notice; nullptr for a notice that shows
// nothing.
struct NoticeText {
  const char* notice;
  const char* title;
  const char* body;
};
const NoticeText* NoticeFor(std::string_view notice);

// The desktop side: the browser, the notification area and the log.
class Desktop {
 public:
  virtual ~Desktop() = default;
  virtual void Log(const std::string& text) = 0;
  // Opens `url` in the default browser; false when it could not be asked.
  virtual bool OpenInterface(const std::string& url) = 0;
  virtual void Notify(const NoticeText& text) = 0;
};

// The whole run; returns the exit code (0, or 1 when there is no server or
// its ports belong to someone else).
int Run(Desktop& desktop, const Settings& settings = {});

}  // namespace ferro::view
