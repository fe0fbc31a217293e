// The push channel on a loopback port of its own: one client, notices whole.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/instance_lock.h"
#include "push_channel.h"

namespace {

int Connect(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string ReadExactly(int fd, size_t n) {
  std::string out;
  char buf[4096];
  while (out.size() < n) {
    const ssize_t got = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
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
  const int client = Connect(channel.port());
  ASSERT_GE(client, 0);
  ASSERT_EQ(::send(client, "ui", 2, 0), 2);
  acceptor.join();

  EXPECT_EQ(channel.Send("trap"), 0);
  EXPECT_EQ(ReadExactly(client, 5), std::string("trap\0", 5));

  // The listener is closed once the client is taken: nobody else gets in.
  EXPECT_LT(Connect(channel.port()), 0);

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
  ::close(client);
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
  const int client = Connect(channel.port());
  ASSERT_GE(client, 0);
  ::shutdown(client, SHUT_WR);
  acceptor.join();  // returns: the empty first packet ends the wait
  ::close(client);
}

TEST(InstanceLock, SecondHolderIsTold) {
  const std::string name = "ferro-test-" + std::to_string(::getpid());
  EXPECT_EQ(ferro::AcquireInstanceLock(name.c_str()), ferro::InstanceLockResult::kAcquired);
  EXPECT_EQ(ferro::AcquireInstanceLock(name.c_str()), ferro::InstanceLockResult::kAlreadyExists);
  EXPECT_EQ(ferro::AcquireInstanceLock(""), ferro::InstanceLockResult::kError);
}

}  // namespace
