// Ferroview's run, apart from the desktop: plain blocking loopback sockets
// through the platform's socket header, the same code on both systems.
#include "loader/ferroview.h"

#include <chrono>
#include <optional>
#include <thread>

#include "platform/socket.h"
#include "platform/socket_owner.h"

namespace ferro::view {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kLoopback = 0x7f000001;  // 127.0.0.1
constexpr uint32_t kAnswerWaitMs = 2000;    // for the server's first bytes

const NoticeText kNotices[] = {
    {"trap", "A device sent a trap", "The trap list holds the details."},
    {"device_set", "Device settings", "A change of device settings has a result."},
};

// A blocking TCP connection to 127.0.0.1:`port`, or kNoSocket.
SocketHandle Connect(uint16_t port) {
  const SocketHandle s = socket(AF_INET, SOCK_STREAM | kCloseOnExec, IPPROTO_TCP);
  if (!IsValidSocket(s)) return kNoSocket;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(kLoopback);
  if (connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    CloseSocket(s);
    return kNoSocket;
  }
  return s;
}

bool SendAll(SocketHandle s, std::string_view text) {
  while (!text.empty()) {
    const auto n = send(s, text.data(), static_cast<int>(text.size()), kNoSignalFlag);
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// One plain GET: the server serves one connection at a time, so a request
// that says nothing would hold it up.
bool ServerAnswers(uint16_t port) {
  const SocketHandle s = Connect(port);
  if (!IsValidSocket(s)) return false;
  bool answered = false;
  if (SetReceiveTimeout(s, kAnswerWaitMs) &&
      SendAll(s, "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")) {
    char head[16];
    const auto n = recv(s, head, sizeof head, 0);
    answered = n > 0 && std::string_view(head, static_cast<size_t>(n)).starts_with("HTTP/");
  }
  CloseSocket(s);
  return answered;
}

bool WaitForServer(const Settings& settings) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(settings.serverWaitMs);
  for (;;) {
    if (ServerAnswers(settings.servicePort)) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(settings.retryMs));
  }
}

// Why the program listening on `port` is not to be trusted (it belongs to
// neither this user nor the system), or nothing. The browser and the
// notices go to whoever listens there, so a port taken by another user of
// the machine could collect what the user types.
// A listener the system names no process for (Wine's TCP table names none)
// cannot be judged and is taken as it is; a process whose user cannot be
// read is another user's.
std::optional<std::string> ForeignHolder(uint16_t port) {
  const std::optional<PortHolder> holder = TcpPortHolder(htonl(kLoopback), port);
  if (!holder || holder->uid == 0 || holder->uid == ProcessUser()) return std::nullopt;
#ifdef _WIN32
  if (holder->pid == 0) return std::nullopt;
#endif
  return "port " + std::to_string(port) + " is held by " + DescribePortHolder(*holder) +
         ", not by the server's user";
}

SocketHandle ConnectPush(const Settings& settings) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(settings.pushWaitMs);
  for (;;) {
    const SocketHandle s = Connect(settings.pushPort);
    if (IsValidSocket(s)) {
      if (SendAll(s, "Ferroview")) return s;
      CloseSocket(s);
    }
    if (Clock::now() >= deadline) return kNoSocket;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

}  // namespace

std::string InterfaceUrl(uint16_t servicePort) {
  return "http://127.0.0.1:" + std::to_string(servicePort) + "/tools/js_client/index.html";
}

std::vector<std::string> NoticeReader::Feed(const char* data, size_t size) {
  std::vector<std::string> notices;
  pending_.append(data, size);
  size_t start = 0;
  for (size_t zero; (zero = pending_.find('\0', start)) != std::string::npos; start = zero + 1) {
    notices.emplace_back(pending_, start, zero - start);
  }
  pending_.erase(0, start);
  if (pending_.size() > kMaxNotice) pending_.clear();
  return notices;
}

const NoticeText* NoticeFor(std::string_view notice) {
  for (const NoticeText& n : kNotices) {
    if (notice == n.notice) return &n;
  }
  return nullptr;
}

int Run(Desktop& desktop, const Settings& settings) {
  const std::string url = InterfaceUrl(settings.servicePort);
  if (!StartSockets() || !WaitForServer(settings)) {
    desktop.Log("the server did not answer on port " + std::to_string(settings.servicePort));
    return 1;
  }
  if (settings.checkPortHolders) {
    for (const uint16_t port : {settings.servicePort, settings.pushPort}) {
      if (const std::optional<std::string> refused = ForeignHolder(port)) {
        desktop.Log(*refused + ": not opening the interface");
        return 1;
      }
    }
  }
  const SocketHandle push = ConnectPush(settings);
  if (!IsValidSocket(push)) {
    desktop.Log("no push channel (another user interface holds it); no notifications");
  }
  if (!desktop.OpenInterface(url)) desktop.Log("open " + url + " in a browser");
  if (!IsValidSocket(push)) return 0;

  NoticeReader reader;
  char buf[4096];
  for (;;) {
    const auto n = recv(push, buf, sizeof buf, 0);
    if (n <= 0) break;
    for (const std::string& notice : reader.Feed(buf, static_cast<size_t>(n))) {
      if (notice == "app_exit") {
        desktop.Log("the server is closing");
        CloseSocket(push);
        return 0;
      }
      if (const NoticeText* text = NoticeFor(notice)) desktop.Notify(*text);
    }
  }
  CloseSocket(push);
  desktop.Log("the server closed the push channel");
  return 0;
}

}  // namespace ferro::view
