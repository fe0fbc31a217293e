/* The anchor of the monitoring benchmark: the least a keep-alive pass can
 * cost. It sends one 40-byte datagram to each of `count` consecutive
 * addresses from a non-blocking UDP socket (as the server's poll does, and
 * with nothing else around it), `rounds` times `gap_ms` apart, and prints the
 * thread's CPU time of each round in nanoseconds, one line per round.
 *
 *   poll_anchor BIND_IP FIRST_IP COUNT PORT ROUNDS GAP_MS
 *
 * Built and run by monitor_bench.py inside its server namespace only. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static long long thread_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

int main(int argc, char** argv) {
  if (argc != 7) {
    fprintf(stderr, "usage: %s BIND_IP FIRST_IP COUNT PORT ROUNDS GAP_MS\n", argv[0]);
    return 2;
  }
  struct in_addr bind_ip, first;
  if (inet_pton(AF_INET, argv[1], &bind_ip) != 1 || inet_pton(AF_INET, argv[2], &first) != 1) {
    fprintf(stderr, "bad address\n");
    return 2;
  }
  const long count = strtol(argv[3], NULL, 10), port = strtol(argv[4], NULL, 10);
  const long rounds = strtol(argv[5], NULL, 10), gap_ms = strtol(argv[6], NULL, 10);
  if (count < 1 || count > 100000 || port < 1 || port > 65535 || rounds < 1 || rounds > 1000 ||
      gap_ms < 0 || gap_ms > 600000) {
    fprintf(stderr, "out of range\n");
    return 2;
  }
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  struct sockaddr_in me = {.sin_family = AF_INET, .sin_addr = bind_ip};
  if (fd < 0 || bind(fd, (struct sockaddr*)&me, sizeof me) != 0) {
    perror("socket");
    return 1;
  }
  unsigned char packet[40];
  memset(packet, 0, sizeof packet);
  for (long r = 0; r < rounds; ++r) {
    const long long start = thread_ns();
    for (long i = 0; i < count; ++i) {
      struct sockaddr_in to = {.sin_family = AF_INET, .sin_port = htons((unsigned short)port)};
      to.sin_addr.s_addr = htonl(ntohl(first.s_addr) + (unsigned)i);
      sendto(fd, packet, sizeof packet, MSG_NOSIGNAL, (struct sockaddr*)&to, sizeof to);
    }
    printf("%lld\n", thread_ns() - start);
    fflush(stdout);
    if (r + 1 < rounds) usleep((useconds_t)gap_ms * 1000);
  }
  close(fd);
  return 0;
}
