// Load client for soap_bench.py: CLIENTS threads each send REQUESTS copies
// of one HTTP request to 127.0.0.1:PORT, one connection per request, and
// read each answer to the end of the connection.
//
//   soap_load PORT REQUEST_FILE CLIENTS REQUESTS
//
// Prints "<seconds> <answers> <bytes of the first answer> <bad answers>";
// an answer is bad when it does not start with a 200 status. Loopback only,
// bounded by the request count and a 5 s receive time-out per answer.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<long> answers{0}, bad{0}, first_size{-1};

// One request on a fresh connection; the size of the answer, or -1.
long Exchange(int port, const std::string& request, std::string& buffer) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  timeval timeout{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  long total = -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(request.size())) {
    total = 0;
    for (;;) {
      const size_t at = static_cast<size_t>(std::min(total, 16L));
      const ssize_t n = ::recv(fd, buffer.data() + at, buffer.size() - at, 0);
      if (n < 0) total = -1;
      if (n <= 0) break;
      total += n;
    }
    // The status code sits in the first 16 bytes, which are kept in place.
    if (total >= 12 && std::strncmp(buffer.data() + 9, "200", 3) != 0) total = -1;
  }
  ::close(fd);
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s PORT REQUEST_FILE CLIENTS REQUESTS\n", argv[0]);
    return 2;
  }
  const int port = std::atoi(argv[1]);
  std::stringstream text;
  text << std::ifstream(argv[2], std::ios::binary).rdbuf();
  const std::string request = text.str();
  const int clients = std::atoi(argv[3]);
  const long requests = std::atol(argv[4]);
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      std::string buffer(1 << 16, '\0');
      for (long i = 0; i < requests; ++i) {
        const long size = Exchange(port, request, buffer);
        if (size < 0) {
          ++bad;
          continue;
        }
        long expected = -1;
        first_size.compare_exchange_strong(expected, size);
        ++answers;
      }
    });
  }
  for (auto& t : threads) t.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.6f %ld %ld %ld\n", seconds, answers.load(), first_size.load(), bad.load());
  return 0;
}
