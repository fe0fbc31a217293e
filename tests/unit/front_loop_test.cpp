// The front's loop on a loopback port of its own, with short limits and a
// handler that records what it serves: order of service, deadlines, the
// connection bound, interim answers, refusals, how a connection ends, slow
// readers and the answer budget.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "front/answer_buffer.h"
#include "front/front.h"
#include "platform/socket.h"

namespace {

using namespace std::chrono_literals;
using ferro::CloseSocket;
using ferro::SocketHandle;

// Echoes each request's body, within the answer budget as the service does;
// the body of a request for "/sink" goes to a sink, and what reached it is
// echoed instead.
class RecordingHandler final : public ferro::RequestHandler {
 public:
  // Keeps what it is given of a body; when it ends, that goes to `ended_`.
  class KeepingSink final : public ferro::BodySink {
   public:
    explicit KeepingSink(RecordingHandler& owner) : owner_(owner) {}
    ~KeepingSink() override {
      std::lock_guard lock(owner_.mu_);
      owner_.ended_.push_back(kept_);
    }
    void Write(std::string_view bytes) override { kept_.append(bytes); }
    const std::string& kept() const { return kept_; }

   private:
    RecordingHandler& owner_;
    std::string kept_;
  };

  std::unique_ptr<ferro::BodySink> BodySinkFor(const ferro::Connection& connection) override {
    if (connection.request().request_line.rfind("POST /sink ", 0) != 0) return nullptr;
    return std::make_unique<KeepingSink>(*this);
  }
  std::string Serve(ferro::Connection& connection) override {
    const auto* sink = dynamic_cast<const KeepingSink*>(connection.body_sink());
    const std::string body = sink != nullptr ? sink->kept() : connection.request().body;
    std::lock_guard lock(mu_);
    served_.push_back(body);
    std::string answer =
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    if (!connection.ReserveAnswer(answer.size())) return "HTTP/1.1 503 Service Unavailable\r\n\r\n";
    return answer;
  }
  std::vector<std::string> served() {
    std::lock_guard lock(mu_);
    return served_;
  }
  std::vector<std::string> ended() {
    std::lock_guard lock(mu_);
    return ended_;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> served_;
  std::vector<std::string> ended_;  // what the sinks kept, as they ended
};

class FrontLoop : public ::testing::Test {
 protected:
  void Start(ferro::FrontLimits limits) {
    ASSERT_TRUE(ferro::StartSockets());
    listener_ = ::socket(AF_INET, SOCK_STREAM | ferro::kCloseOnExec, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener_, 100), 0);
    socklen_t len = sizeof addr;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    front_ = std::make_unique<ferro::Front>(listener_, handler_, limits);
    thread_ = std::thread([this] {
      while (!stop_) front_->RunOnce(20);
    });
  }

  void TearDown() override {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    front_.reset();
    if (ferro::IsValidSocket(listener_)) CloseSocket(listener_);
    ferro::FrontAnswerBuffers().SetBudget(ferro::kDefaultAnswerBudget);
  }

  // A client socket; `receive_buffer` bytes (when given) make it slow to
  // take an answer.
  SocketHandle Connect(int receive_buffer = 0) {
    const SocketHandle fd = ::socket(AF_INET, SOCK_STREAM | ferro::kCloseOnExec, 0);
    if (receive_buffer > 0) {
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receive_buffer),
                   sizeof receive_buffer);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port_);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ferro::SetReceiveTimeout(fd, 5000);
    return fd;
  }

  static void Send(SocketHandle fd, const std::string& data) {
    ASSERT_EQ(ferro::SendBytes(fd, data.data(), data.size(), ferro::kNoSignalFlag),
              static_cast<long long>(data.size()));
  }

  // Everything until the server closes (or 5 s pass).
  static std::string ReadAll(SocketHandle fd) {
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
      out.append(buf, static_cast<size_t>(n));
    return out;
  }

  static std::string Post(const std::string& body) {
    return "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  }

  RecordingHandler handler_;
  SocketHandle listener_ = ferro::kNoSocket;
  uint16_t port_ = 0;
  std::unique_ptr<ferro::Front> front_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

TEST_F(FrontLoop, ServesInOrderOfCompletionNotOfArrival) {
  Start({});
  const SocketHandle slow = Connect();
  Send(slow, "POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\nsl");
  std::this_thread::sleep_for(50ms);
  const SocketHandle quick = Connect();
  Send(quick, Post("quick"));
  EXPECT_EQ(ReadAll(quick), "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nquick");
  Send(slow, "ow");
  EXPECT_EQ(ReadAll(slow), "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nslow");
  EXPECT_EQ(handler_.served(), (std::vector<std::string>{"quick", "slow"}));
  CloseSocket(slow);
  CloseSocket(quick);
}

TEST_F(FrontLoop, UnfinishedRequestIsRefusedAtItsDeadline) {
  ferro::FrontLimits limits;
  limits.connection.request_ms = 300;
  Start(limits);
  // A body that never completes, from a client that keeps dripping.
  const SocketHandle drip = Connect();
  const SocketHandle silent = Connect();
  Send(drip, "POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\n");
  for (int i = 0; i < 4; ++i) {
    Send(drip, "x");
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(ReadAll(drip).substr(0, 24), "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(ReadAll(silent), "");          // nothing asked, nothing answered: closed
  EXPECT_TRUE(handler_.served().empty());  // never served half-received
  CloseSocket(drip);
  CloseSocket(silent);
}

TEST_F(FrontLoop, StreamedBodyMayOutlastTheRequestDeadlineOnlyWhileItProgresses) {
  ferro::FrontLimits limits;
  limits.connection.request_ms = 300;
  limits.connection.body_progress_ms = 300;
  limits.connection.body_progress_bytes = 1000;
  Start(limits);
  const SocketHandle steady = Connect();
  const SocketHandle stalled = Connect();
  Send(steady, "POST /sink HTTP/1.1\r\nContent-Length: 6000\r\n\r\n" + std::string(500, 'a'));
  Send(stalled, "POST /sink HTTP/1.1\r\nContent-Length: 6000\r\n\r\n" + std::string(100, 'b'));
  // 1500 bytes every 200 ms: far past the request deadline, never below
  // the progress the body must make.
  for (int i = 0; i < 4; ++i) {
    std::this_thread::sleep_for(200ms);
    Send(steady, std::string(i < 3 ? 1500 : 1000, 'a'));
  }
  EXPECT_EQ(ReadAll(steady),
            "HTTP/1.1 200 OK\r\nContent-Length: 6000\r\n\r\n" + std::string(6000, 'a'));
  EXPECT_EQ(ReadAll(stalled).substr(0, 28), "HTTP/1.1 408 Request Timeout");
  EXPECT_EQ(handler_.served().size(), 1u);  // the stalled one never served
  // ... and what its sink held was let go with the refusal.
  const auto ended = handler_.ended();
  EXPECT_NE(std::find(ended.begin(), ended.end(), std::string(100, 'b')), ended.end());
  CloseSocket(steady);
  CloseSocket(stalled);
}

TEST_F(FrontLoop, HalfClosedRequestIsRefusedAtOnce) {
  Start({});
  const SocketHandle fd = Connect();
  Send(fd, "POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\npartial");
  ::shutdown(fd, ferro::kShutWrite);
  EXPECT_EQ(ReadAll(fd).substr(0, 24), "HTTP/1.1 400 Bad Request");
  EXPECT_TRUE(handler_.served().empty());
  CloseSocket(fd);
}

TEST_F(FrontLoop, ContinueBeforeTheBody) {
  Start({});
  const SocketHandle fd = Connect();
  Send(fd, "POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\n");
  char buf[64];
  const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "HTTP/1.1 100 Continue\r\n\r\n");
  Send(fd, "ok");
  EXPECT_EQ(ReadAll(fd), "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  CloseSocket(fd);
}

TEST_F(FrontLoop, RefusalReachesAClientThatIsStillSending) {
  Start({});
  const SocketHandle fd = Connect();
  // Far more than the bound allows; the client keeps sending while the
  // answer is written and must still read "413", not a reset.
  Send(fd, "POST / HTTP/1.1\r\nContent-Length: 40000000\r\n\r\n");
  std::thread sender([fd] {
    const std::string block(65536, 'a');
    for (int i = 0; i < 16; ++i) {
      if (ferro::SendBytes(fd, block.data(), block.size(), ferro::kNoSignalFlag) < 0) break;
    }
  });
  const std::string answer = ReadAll(fd);
  sender.join();
  EXPECT_EQ(answer.substr(0, 21), "HTTP/1.1 413 Request ");
  CloseSocket(fd);
}

TEST_F(FrontLoop, OldestIdleConnectionMakesRoom) {
  ferro::FrontLimits limits;
  limits.max_connections = 4;
  Start(limits);
  std::vector<SocketHandle> idle;
  for (int i = 0; i < 4; ++i) {
    idle.push_back(Connect());
    Send(idle.back(), "GET");  // begun, never finished
    std::this_thread::sleep_for(20ms);
  }
  const SocketHandle fresh = Connect();
  Send(fresh, Post("fresh"));
  EXPECT_EQ(ReadAll(fresh), "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfresh");
  EXPECT_EQ(ReadAll(idle[0]), "");  // the oldest was dropped for it
  // The others are still open and can finish their requests.
  Send(idle[3], " / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(ReadAll(idle[3]), "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  for (SocketHandle fd : idle) CloseSocket(fd);
  CloseSocket(fresh);
}

// Descriptors (Windows: handles) the process holds, the front's
// connections among them.
size_t OpenDescriptors() {
#ifdef _WIN32
  DWORD n = 0;
  GetProcessHandleCount(GetCurrentProcess(), &n);
  return n;
#else
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++n;
  }
  return n;
#endif
}

// Wine counts no handles (GetProcessHandleCount gives 0): the checks that
// need the count are skipped there.
#define SKIP_WITHOUT_DESCRIPTOR_COUNT()                                 \
  if (OpenDescriptors() == 0) {                                         \
    GTEST_SKIP() << "this system does not count the process's handles"; \
  }

// Whether the descriptor count comes to `count` within `ms`.
bool DescriptorsReach(size_t count, int ms) {
  for (int waited = 0; waited < ms; waited += 10) {
    if (OpenDescriptors() == count) return true;
    std::this_thread::sleep_for(10ms);
  }
  return OpenDescriptors() == count;
}

TEST_F(FrontLoop, ConnectionEndsAtOnceUnlessBytesCameBehindTheRequest) {
  ferro::FrontLimits limits;
  limits.connection.linger_ms = 10000;  // far beyond what the test waits
  SKIP_WITHOUT_DESCRIPTOR_COUNT();
  Start(limits);
  const size_t before = OpenDescriptors();
  // The whole request read, nothing behind it: closed as soon as answered,
  // while the client still holds its end.
  const SocketHandle whole = Connect();
  Send(whole, Post("done"));
  EXPECT_EQ(ReadAll(whole), "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\ndone");
  EXPECT_TRUE(DescriptorsReach(before + 1, 2000));
  CloseSocket(whole);

  // Bytes that arrive behind the request while its answer is still being
  // written (the client takes it slowly): closing with them unread would
  // reset the connection and could cost the client the answer, so the
  // connection stays until the client closes.
  const SocketHandle slow = Connect(4096);
  const std::string body(8 << 20, 'b');  // an answer far beyond both socket buffers
  Send(slow, Post(body));
  std::this_thread::sleep_for(100ms);
  Send(slow, "\r\n");
  EXPECT_TRUE(ReadAll(slow) == "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                                   "\r\n\r\n" + body);
  EXPECT_FALSE(DescriptorsReach(before + 1, 300));
  EXPECT_EQ(OpenDescriptors(), before + 2);
  CloseSocket(slow);
  EXPECT_TRUE(DescriptorsReach(before, 2000));
}

TEST_F(FrontLoop, ReaderTooSlowForItsAnswerIsDroppedAndASteadyOneServed) {
  ferro::FrontLimits limits;
  limits.connection.write_progress_ms = 300;
  limits.connection.write_progress_bytes = 64 * 1024;  // some 210 KiB/s
  Start(limits);
  // An answer far beyond both socket buffers.
  const std::string body(8 << 20, 's');
  const std::string whole =
      "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;

  // Taking its answer steadily, with pauses: served whole.
  const SocketHandle steady = Connect();
  Send(steady, Post(body));
  std::string got;
  static char buf[65536];
  for (ssize_t n; (n = ::recv(steady, buf, sizeof buf, 0)) > 0;) {
    got.append(buf, static_cast<size_t>(n));
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_TRUE(got == whole) << got.size() << " of " << whole.size() << " bytes";
  CloseSocket(steady);
  SKIP_WITHOUT_DESCRIPTOR_COUNT();

  // Taking a KiB every 50 ms (20 KiB/s): it keeps making progress, yet is
  // dropped within a few windows and its slot freed.
  const size_t before = OpenDescriptors();
  const SocketHandle trickle = Connect(4096);
  Send(trickle, Post(body));
  ASSERT_TRUE(ferro::SetNonBlocking(trickle, true));
  bool dropped = false;
  const auto until = std::chrono::steady_clock::now() + 3s;
  while (!dropped && std::chrono::steady_clock::now() < until) {
    (void)::recv(trickle, buf, 1024, 0);
    std::this_thread::sleep_for(50ms);
    dropped = OpenDescriptors() == before + 1;  // only the client's own end is left
  }
  EXPECT_TRUE(dropped);
  CloseSocket(trickle);
}

TEST_F(FrontLoop, AnswerThatWouldPassTheBudgetIsRefusedUntilRoomIsMade) {
  ferro::FrontLimits limits;
  limits.answer_budget = 4 << 20;
  Start(limits);
  const std::string body(3 << 20, 'b');
  const std::string whole =
      "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  // A client that never reads holds most of its answer.
  const SocketHandle stuck = Connect(4096);
  Send(stuck, Post(body));
  std::this_thread::sleep_for(200ms);
  const SocketHandle second = Connect();
  Send(second, Post(body));
  EXPECT_EQ(ReadAll(second).substr(0, 32), "HTTP/1.1 503 Service Unavailable");
  CloseSocket(second);
  // Small answers still fit beside it.
  const SocketHandle small = Connect();
  Send(small, Post("small"));
  EXPECT_EQ(ReadAll(small), "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nsmall");
  CloseSocket(small);
  // Once the stuck client is gone, its answer's room is given back (and
  // that of every answer sent whole before).
  CloseSocket(stuck);
  std::string got;
  for (int attempt = 0; attempt < 50 && got != whole; ++attempt) {
    std::this_thread::sleep_for(20ms);
    const SocketHandle next = Connect();
    Send(next, Post(body));
    got = ReadAll(next);
    CloseSocket(next);
  }
  EXPECT_TRUE(got == whole) << got.substr(0, 40);
  const SocketHandle last = Connect();
  Send(last, Post(body));
  EXPECT_TRUE(ReadAll(last) == whole);
  CloseSocket(last);
}

}  // namespace
