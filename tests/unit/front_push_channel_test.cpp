// The push channel on a loopback port of its own: one client, notices whole.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "front/access_rule.h"
#include "front/push_channel.h"
#include "platform/instance_lock.h"
#include "platform/socket.h"

namespace {

using ferro::CloseSocket;
using ferro::IsValidSocket;
using ferro::SocketHandle;

// Wine names no owner of any connection, so the channel would refuse
// every client there: its tests trust the callers on this machine.
void TrustCallersUnderWine() {
#ifdef _WIN32
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr) {
    ferro::SetTrustLocalUsers(true);
  }
#endif
}

SocketHandle Connect(uint16_t port) {
  ferro::StartSockets();
  TrustCallersUnderWine();
  const SocketHandle fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    CloseSocket(fd);
    return ferro::kNoSocket;
  }
  return fd;
}

std::string ReadExactly(SocketHandle fd, size_t n) {
  std::string out;
  char buf[4096];
  while (out.size() < n) {
    const auto got = ::recv(fd, buf, static_cast<int>(std::min(sizeof buf, n - out.size())), 0);
    if (got <= 0) break;
    out.append(buf, static_cast<size_t>(got));
  }
  return out;
}

TEST(PushChannel, OneClientAndWholeNotices) {
  ferro::PushChannel channel("127.0.0.1", 0);
  ASSERT_TRUE(channel.Listen());
  EXPECT_EQ(channel.Send("trap"), -1);  // nobody connected yet

  std::thread acceptor([&] { channel.AcceptClient(); });
  const SocketHandle client = Connect(channel.port());
  ASSERT_TRUE(IsValidSocket(client));
  ASSERT_EQ(::send(client, "ui", 2, 0), 2);
  acceptor.join();

  EXPECT_EQ(channel.Send("trap"), 0);
  EXPECT_EQ(ReadExactly(client, 5), std::string("trap\0", 5));

  // The listener is closed once the client is taken: nobody else gets in.
  EXPECT_FALSE(IsValidSocket(Connect(channel.port())));

  // Notices from several threads never interleave.
  constexpr int kThreads = 4;
  constexpr int kEach = 200;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&channel, t] {
      const std::string text = t % 2 ? "device_set" : "trap";
      for (int i = 0; i < kEach; ++i) channel.Send(text);
    });
  }
  for (auto& s : senders) s.join();
  const std::string stream = ReadExactly(client, kThreads / 2 * kEach * (5 + 11));
  size_t pos = 0;
  int count = 0;
  while (pos < stream.size()) {
    const size_t end = stream.find('\0', pos);
    ASSERT_NE(end, std::string::npos);
    const std::string word = stream.substr(pos, end - pos);
    ASSERT_TRUE(word == "trap" || word == "device_set") << word;
    pos = end + 1;
    ++count;
  }
  EXPECT_EQ(count, kThreads * kEach);

  // After the user interface went away, sends fail without killing anyone.
  CloseSocket(client);
  int result = 0;
  for (int i = 0; i < 50 && result == 0; ++i) {
    result = channel.Send("trap");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(result, -2);
}

TEST(PushChannel, ConnectionClosedBeforeSendingCountsAsReceived) {
  ferro::PushChannel channel("127.0.0.1", 0);
  ASSERT_TRUE(channel.Listen());
  std::thread acceptor([&] { channel.AcceptClient(); });
  const SocketHandle client = Connect(channel.port());
  ASSERT_TRUE(IsValidSocket(client));
  ::shutdown(client, ferro::kShutWrite);
  acceptor.join();  // returns: the empty first packet ends the wait
  CloseSocket(client);
}

#ifndef _WIN32
TEST(InstanceLock, SecondHolderIsTold) {
  char folder_template[] = "/tmp/ferro-lock-XXXXXX";
  const std::string folder = ::mkdtemp(folder_template);
  const std::string name = "ferro-test-" + std::to_string(::getpid());
  const std::string dir = folder + "/locks";
  using ferro::InstanceLockResult;
  EXPECT_EQ(ferro::AcquireInstanceLock(name.c_str(), dir.c_str()), InstanceLockResult::kAcquired);
  EXPECT_EQ(ferro::AcquireInstanceLock(name.c_str(), dir.c_str()),
            InstanceLockResult::kAlreadyExists);
  EXPECT_EQ(ferro::AcquireInstanceLock("", dir.c_str()), InstanceLockResult::kError);
  EXPECT_EQ(ferro::AcquireInstanceLock("../x", dir.c_str()), InstanceLockResult::kError);
  // A folder that others may write to could hold a lock planted by anyone.
  const std::string open_dir = folder + "/open";
  ASSERT_EQ(::mkdir(open_dir.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(open_dir.c_str(), 0777), 0);
  EXPECT_EQ(ferro::AcquireInstanceLock(name.c_str(), open_dir.c_str()), InstanceLockResult::kError);
  std::filesystem::remove_all(folder);
}
#endif

}  // namespace

namespace {

TEST(PushChannel, SilentFirstConnectionGivesWayToTheNext) {
  ferro::PushChannel channel("127.0.0.1", 0, /*first_receive_ms=*/100);
  ASSERT_TRUE(channel.Listen());
  std::thread acceptor([&] { channel.AcceptClient(); });
  const SocketHandle squatter = Connect(channel.port());  // connects first, says nothing
  ASSERT_TRUE(IsValidSocket(squatter));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const SocketHandle ui = Connect(channel.port());
  ASSERT_TRUE(IsValidSocket(ui));
  ASSERT_EQ(::send(ui, "ui", 2, 0), 2);
  acceptor.join();
  EXPECT_EQ(channel.Send("trap"), 0);
  EXPECT_EQ(ReadExactly(ui, 5), std::string("trap\0", 5));
  char c;
  EXPECT_EQ(::recv(squatter, &c, 1, 0), 0);  // given up and closed
  CloseSocket(squatter);
  CloseSocket(ui);
}

TEST(PushChannel, ClientThatStopsReadingNeverBlocksTheSender) {
  ferro::PushChannel channel("127.0.0.1", 0);
  ASSERT_TRUE(channel.Listen());
  std::thread acceptor([&] { channel.AcceptClient(); });
  const SocketHandle ui = Connect(channel.port());
  ASSERT_TRUE(IsValidSocket(ui));
  ASSERT_EQ(::send(ui, "ui", 2, 0), 2);
  acceptor.join();
  // Far more than the socket buffers hold; the client reads nothing.
  const std::string notice(1000, 'n');
  int lost = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 20000; ++i) {
    if (channel.Send(notice) == -2) ++lost;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_GT(lost, 0);
  // What did go out is a run of whole notices: a notice the connection took
  // only in part is completed before the next one.
  std::string stream;
  ferro::SetReceiveTimeout(ui, 200);
  auto drain = [&] {
    char buf[65536];
    for (ssize_t n; (n = ::recv(ui, buf, sizeof buf, 0)) > 0;) {
      stream.append(buf, static_cast<size_t>(n));
    }
  };
  drain();
  EXPECT_EQ(channel.Send("x"), 0);
  drain();
  ASSERT_GE(stream.size(), 2u);
  EXPECT_EQ(stream.substr(stream.size() - 2), std::string("x\0", 2));
  const std::string notices = stream.substr(0, stream.size() - 2);
  ASSERT_EQ(notices.size() % 1001, 0u);
  for (size_t i = 0; i < notices.size(); i += 1001) {
    ASSERT_EQ(notices.substr(i, 1001), notice + '\0') << i;
  }
  CloseSocket(ui);
}

}  // namespace
