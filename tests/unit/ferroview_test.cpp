// Ferroview's run on Windows, apart from the desktop: the notices as they
// arrive, and one whole run against a stand-in server on loopback ports of
// its own.
#include "loader/ferroview.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace ferro::view {
namespace {

using Notices = std::vector<std::string>;

TEST(FerroviewNotices, SplitAcrossReadsAndOverlongTextDropped) {
  NoticeReader reader;
  EXPECT_EQ(reader.Feed("trap\0device_", 12), (Notices{"trap"}));
  EXPECT_EQ(reader.Feed("set\0", 4), (Notices{"device_set"}));
  EXPECT_EQ(reader.Feed("\0unknown\0tr", 11), (Notices{"", "unknown"}));
  EXPECT_EQ(reader.Feed("ap\0", 3), (Notices{"trap"}));
  // Text that never ends within the limit is dropped, and what follows
  // its end is read afresh.
  const std::string flood(kMaxNotice + 1, 'x');
  EXPECT_EQ(reader.Feed(flood.data(), flood.size()), Notices{});
  EXPECT_EQ(reader.Feed("app_exit\0", 9), (Notices{"app_exit"}));
  const std::string full(kMaxNotice, 'y');
  EXPECT_EQ(reader.Feed(full.data(), full.size()), Notices{});
  EXPECT_EQ(reader.Feed("\0", 1), (Notices{full}));

  ASSERT_NE(NoticeFor("trap"), nullptr);
  ASSERT_NE(NoticeFor("device_set"), nullptr);
  EXPECT_EQ(NoticeFor("app_exit"), nullptr);
  EXPECT_EQ(NoticeFor("tra"), nullptr);
}

class RecordingDesktop final : public Desktop {
 public:
  void Log(const std::string& text) override { logs.push_back(text); }
  bool OpenInterface(const std::string& url) override {
    opened.push_back(url);
    return true;
  }
  void Notify(const NoticeText& text) override { shown.push_back(text.notice); }

  Notices logs, opened, shown;
};

// A listener on a free loopback port.
SocketHandle Listen(uint16_t& port) {
  const SocketHandle s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (!IsValidSocket(s) || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(s, 5) != 0 || getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return kNoSocket;
  }
  port = ntohs(address.sin_port);
  return s;
}

TEST(FerroviewRun, WaitsForTheServerShowsEachNoticeAndEndsOnAppExit) {
  ASSERT_TRUE(StartSockets());
  Settings settings;
  settings.serverWaitMs = 20000;
  settings.retryMs = 20;
  const SocketHandle service = Listen(settings.servicePort);
  const SocketHandle push = Listen(settings.pushPort);
  ASSERT_TRUE(IsValidSocket(service));
  ASSERT_TRUE(IsValidSocket(push));
  std::string hello;
  // The stand-in server: the first GET is left without an answer (a server
  // still starting), the second answered; then the push channel carries
  // notices split at odd places.
  std::thread server([&] {
    const SocketHandle early = accept(service, nullptr, nullptr);
    CloseSocket(early);
    const SocketHandle get = accept(service, nullptr, nullptr);
    char buf[512];
    recv(get, buf, sizeof buf, 0);
    const char answer[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    send(get, answer, sizeof answer - 1, 0);
    CloseSocket(get);
    const SocketHandle client = accept(push, nullptr, nullptr);
    const auto n = recv(client, buf, sizeof buf, 0);
    if (n > 0) hello.assign(buf, static_cast<size_t>(n));
    for (const std::string& piece :
         {std::string("trap\0device_", 12), std::string("set\0", 4), std::string("unknown\0tr", 10),
          std::string("ap\0", 3), std::string("app_exit\0trap\0", 14)}) {
      send(client, piece.data(), static_cast<int>(piece.size()), 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    recv(client, buf, 1, 0);  // until Ferroview closes its end
    CloseSocket(client);
  });
  RecordingDesktop desktop;
  EXPECT_EQ(ferro::view::Run(desktop, settings), 0);
  server.join();
  CloseSocket(service);
  CloseSocket(push);
  EXPECT_EQ(hello, "Ferroview");
  EXPECT_EQ(desktop.opened, Notices{InterfaceUrl(settings.servicePort)});
  EXPECT_EQ(desktop.shown, (Notices{"trap", "device_set", "trap"}));
  EXPECT_EQ(desktop.logs, Notices{"the server is closing"});
}

TEST(FerroviewRun, NoServerOrNoPushChannel) {
  ASSERT_TRUE(StartSockets());
  Settings settings;
  settings.serverWaitMs = 300;
  settings.pushWaitMs = 300;
  settings.retryMs = 20;
  // Free ports with nobody listening: the listeners are closed again.
  const SocketHandle taken = Listen(settings.servicePort);
  CloseSocket(taken);
  RecordingDesktop none;
  EXPECT_EQ(ferro::view::Run(none, settings), 1);
  EXPECT_TRUE(none.opened.empty());
  EXPECT_EQ(none.logs,
            Notices{"the server did not answer on port " + std::to_string(settings.servicePort)});

  // A server whose push channel another client holds: the interface still
  // opens, without notices.
  const SocketHandle service = Listen(settings.servicePort);
  const SocketHandle closed = Listen(settings.pushPort);
  CloseSocket(closed);
  std::thread server([&] {
    const SocketHandle get = accept(service, nullptr, nullptr);
    char buf[512];
    recv(get, buf, sizeof buf, 0);
    send(get, "HTTP/1.0 200 OK\r\n\r\n", 19, 0);
    CloseSocket(get);
  });
  RecordingDesktop noPush;
  EXPECT_EQ(ferro::view::Run(noPush, settings), 0);
  server.join();
  CloseSocket(service);
  EXPECT_EQ(noPush.opened.size(), 1u);
  EXPECT_EQ(noPush.logs,
            Notices{"no push channel (another user interface holds it); no notifications"});
}

}  // namespace
}  // namespace ferro::view
