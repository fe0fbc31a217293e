// Replay sender and anchor receiver of the discovery benchmark (built by
// tools/bench/discovery_bench.py, never installed; runs only inside the
// benchmark's own network namespaces).
//
//   discovery_replay send FILE IFACE PORT RATE WAIT_MS
//     Sends the recorded datagrams of FILE from a socket bound to PORT on
//     IFACE, each from its recorded source address (IP_TRANSPARENT), RATE
//     datagrams a second (0: as fast as the socket takes them). With
//     WAIT_MS > 0 it first waits that long for a discovery request on PORT
//     and writes its sequence into every reply. Prints one line of
//     key=value figures.
//
//   discovery_replay anchor FILE IFACE TIMEOUT_MS
//     The plain receiver the server is compared with: one socket for each
//     destination of FILE, bound and tied to IFACE as the server's are, the
//     same receive buffer, recvmmsg batches; it counts datagrams and distinct
//     agents until every marker arrived (or TIMEOUT_MS passed) and prints its
//     own CPU time.
//
// FILE holds records of: kind (1 byte: 0 reply, 1 marker), source address
// (4), destination address (4), destination port (2, big-endian), length
// (2, big-endian) and the datagram.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { kMaxDatagram = 1500, kBatch = 64, kMaxDestinations = 16 };
enum { kOpcodeAt = 12, kMacAt = 4, kSequenceAt = 26, kOpDiscover = 1, kOpTrap = 9 };

struct Record {
  uint8_t kind;
  struct in_addr source;
  struct sockaddr_in to;
  uint16_t length;
  uint8_t* data;
};

static struct Record* records;
static size_t recordCount;

static void Die(const char* what) {
  perror(what);
  exit(2);
}

static double Now(clockid_t clock) {
  struct timespec ts;
  clock_gettime(clock, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void Load(const char* path) {
  FILE* f = fopen(path, "rb");
  if (f == NULL) Die("open replay file");
  size_t room = 0;
  uint8_t head[13];
  while (fread(head, 1, sizeof head, f) == sizeof head) {
    struct Record r;
    memset(&r, 0, sizeof r);
    r.kind = head[0];
    memcpy(&r.source, head + 1, 4);
    r.to.sin_family = AF_INET;
    memcpy(&r.to.sin_addr, head + 5, 4);
    memcpy(&r.to.sin_port, head + 9, 2);
    r.length = (uint16_t)(head[11] << 8 | head[12]);
    if (r.length == 0 || r.length > kMaxDatagram) {
      fprintf(stderr, "bad record length %u\n", r.length);
      exit(2);
    }
    r.data = malloc(r.length);
    if (r.data == NULL || fread(r.data, 1, r.length, f) != r.length) Die("read replay file");
    if (recordCount == room) {
      room = room ? room * 2 : 1024;
      records = realloc(records, room * sizeof *records);
      if (records == NULL) Die("realloc");
    }
    records[recordCount++] = r;
  }
  fclose(f);
}

static int Socket(const char* iface) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Die("socket");
  int one = 1;
  int big = 4 * 1024 * 1024;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  }
  if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, iface, (socklen_t)strlen(iface)) != 0) {
    Die("SO_BINDTODEVICE");
  }
  return fd;
}

// Waits for a discovery request on `fd`; its sequence (network order), or -1.
static int WaitForDiscover(int fd, int waitMs) {
  const double end = Now(CLOCK_MONOTONIC) + waitMs / 1000.0;
  uint8_t buffer[kMaxDatagram];
  for (;;) {
    const double left = end - Now(CLOCK_MONOTONIC);
    if (left <= 0) return -1;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, (int)(left * 1000) + 1) <= 0) continue;
    const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n >= kSequenceAt + 2 && buffer[kOpcodeAt] == 0 && buffer[kOpcodeAt + 1] == kOpDiscover) {
      return buffer[kSequenceAt] << 8 | buffer[kSequenceAt + 1];
    }
  }
}

static int Send(int argc, char** argv) {
  if (argc != 7) return 1;
  Load(argv[2]);
  const char* iface = argv[3];
  const int port = atoi(argv[4]);
  const double rate = atof(argv[5]);
  const int waitMs = atoi(argv[6]);

  int fd = Socket(iface);
  int one = 1;
  int big = 8 * 1024 * 1024;
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  }
  // Lets each datagram leave from its agent's address, which is not local.
  if (setsockopt(fd, IPPROTO_IP, IP_TRANSPARENT, &one, sizeof one) != 0) Die("IP_TRANSPARENT");
  struct ip_mreqn mif;
  memset(&mif, 0, sizeof mif);
  mif.imr_ifindex = (int)if_nametoindex(iface);
  if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &mif, sizeof mif) != 0) Die("IP_MULTICAST_IF");
  struct sockaddr_in local;
  memset(&local, 0, sizeof local);
  local.sin_family = AF_INET;
  local.sin_port = htons((uint16_t)port);
  if (bind(fd, (struct sockaddr*)&local, sizeof local) != 0) Die("bind");
  printf("ready\n");
  fflush(stdout);

  if (waitMs > 0) {
    const int sequence = WaitForDiscover(fd, waitMs);
    if (sequence < 0) {
      fprintf(stderr, "no discovery request within %d ms\n", waitMs);
      return 3;
    }
    for (size_t i = 0; i < recordCount; ++i) {
      if (records[i].kind == 0 && records[i].length >= kSequenceAt + 2) {
        records[i].data[kSequenceAt] = (uint8_t)(sequence >> 8);
        records[i].data[kSequenceAt + 1] = (uint8_t)sequence;
      }
    }
  }

  static struct mmsghdr msgs[kBatch];
  static struct iovec iov[kBatch];
  static uint8_t control[kBatch][CMSG_SPACE(sizeof(struct in_pktinfo))];
  size_t sent = 0;
  size_t failed = 0;
  const double start = Now(CLOCK_MONOTONIC);
  const double wallStart = Now(CLOCK_REALTIME);
  while (sent < recordCount) {
    size_t batch = recordCount - sent < kBatch ? recordCount - sent : kBatch;
    if (rate > 0) {
      // Paced: send what is due now (at most a batch), else sleep until the
      // next one is due.
      const double due = start + (double)sent / rate;
      const double now = Now(CLOCK_MONOTONIC);
      if (due > now) {
        const double wait = due - now;
        struct timespec ts = {(time_t)wait, (long)((wait - (double)(time_t)wait) * 1e9)};
        nanosleep(&ts, NULL);
        continue;
      }
      const size_t dueCount = (size_t)((now - start) * rate) + 1 - sent;
      if (dueCount < batch) batch = dueCount;
    }
    for (size_t i = 0; i < batch; ++i) {
      struct Record* r = &records[sent + i];
      iov[i].iov_base = r->data;
      iov[i].iov_len = r->length;
      memset(&msgs[i], 0, sizeof msgs[i]);
      msgs[i].msg_hdr.msg_name = &r->to;
      msgs[i].msg_hdr.msg_namelen = sizeof r->to;
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
      msgs[i].msg_hdr.msg_control = control[i];
      msgs[i].msg_hdr.msg_controllen = sizeof control[i];
      struct cmsghdr* c = CMSG_FIRSTHDR(&msgs[i].msg_hdr);
      c->cmsg_level = IPPROTO_IP;
      c->cmsg_type = IP_PKTINFO;
      c->cmsg_len = CMSG_LEN(sizeof(struct in_pktinfo));
      struct in_pktinfo info;
      memset(&info, 0, sizeof info);
      info.ipi_spec_dst = r->source;
      memcpy(CMSG_DATA(c), &info, sizeof info);
    }
    const int n = sendmmsg(fd, msgs, (unsigned)batch, 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == ENOBUFS) continue;
      ++failed;  // this datagram is skipped; the rest go on
      ++sent;
      continue;
    }
    sent += (size_t)n;
  }
  const double elapsed = Now(CLOCK_MONOTONIC) - start;
  printf("sent=%zu failed=%zu seconds=%.6f rate=%.0f wall_start=%.6f\n", sent, failed, elapsed,
         elapsed > 0 ? (double)sent / elapsed : 0.0, wallStart);
  close(fd);
  return 0;
}

// Open-addressing set of agent MACs: the anchor's "store".
static uint64_t* seen;
static size_t seenRoom;
static size_t seenCount;

static void Remember(const uint8_t* mac) {
  uint64_t key = 1;  // 0 marks a free slot
  for (int i = 0; i < 6; ++i) key = key << 8 | mac[i];
  size_t at = (size_t)(key * 0x9E3779B97F4A7C15ull) & (seenRoom - 1);
  while (seen[at] != 0) {
    if (seen[at] == key) return;
    at = (at + 1) & (seenRoom - 1);
  }
  seen[at] = key;
  ++seenCount;
}

static int Anchor(int argc, char** argv) {
  if (argc != 5) return 1;
  Load(argv[2]);
  const char* iface = argv[3];
  const int timeoutMs = atoi(argv[4]);
  seenRoom = 1;
  while (seenRoom < recordCount * 2 + 2) seenRoom <<= 1;
  seen = calloc(seenRoom, sizeof *seen);
  if (seen == NULL) Die("calloc");

  struct pollfd fds[kMaxDestinations];
  size_t socketCount = 0;
  size_t markers = 0;
  struct sockaddr_in bound[kMaxDestinations];
  for (size_t i = 0; i < recordCount; ++i) {
    markers += records[i].kind == 1;
    size_t k = 0;
    while (k < socketCount && !(bound[k].sin_addr.s_addr == records[i].to.sin_addr.s_addr &&
                                bound[k].sin_port == records[i].to.sin_port)) {
      ++k;
    }
    if (k < socketCount) continue;
    if (socketCount == kMaxDestinations) {
      fprintf(stderr, "too many destinations\n");
      return 2;
    }
    const int fd = Socket(iface);
    if (bind(fd, (struct sockaddr*)&records[i].to, sizeof records[i].to) != 0) Die("bind");
    if (IN_MULTICAST(ntohl(records[i].to.sin_addr.s_addr))) {
      struct ip_mreqn join;
      memset(&join, 0, sizeof join);
      join.imr_multiaddr = records[i].to.sin_addr;
      join.imr_ifindex = (int)if_nametoindex(iface);
      if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0) Die("join");
    }
    bound[socketCount] = records[i].to;
    fds[socketCount].fd = fd;
    fds[socketCount].events = POLLIN;
    ++socketCount;
  }
  printf("ready\n");
  fflush(stdout);

  static uint8_t buffers[kBatch][kMaxDatagram];
  static struct mmsghdr msgs[kBatch];
  static struct iovec iov[kBatch];
  size_t received = 0;
  size_t markersSeen = 0;
  double cpuStart = -1;
  double lastMarkerWall = 0;
  const double end = Now(CLOCK_MONOTONIC) + timeoutMs / 1000.0;
  while (markersSeen < markers && Now(CLOCK_MONOTONIC) < end) {
    if (poll(fds, socketCount, 100) <= 0) continue;
    if (cpuStart < 0) cpuStart = Now(CLOCK_PROCESS_CPUTIME_ID);
    for (size_t s = 0; s < socketCount; ++s) {
      if (fds[s].revents == 0) continue;
      for (int i = 0; i < kBatch; ++i) {
        iov[i].iov_base = buffers[i];
        iov[i].iov_len = kMaxDatagram;
        memset(&msgs[i], 0, sizeof msgs[i]);
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
      }
      const int n = recvmmsg(fds[s].fd, msgs, kBatch, MSG_DONTWAIT, NULL);
      for (int i = 0; i < n; ++i) {
        if (msgs[i].msg_len < kSequenceAt + 2) continue;
        ++received;
        const uint8_t* d = buffers[i];
        const int opcode = d[kOpcodeAt] << 8 | d[kOpcodeAt + 1];
        if (opcode == kOpTrap) {
          ++markersSeen;
          lastMarkerWall = Now(CLOCK_REALTIME);
        } else {
          Remember(d + kMacAt);
        }
      }
    }
  }
  const double cpu = cpuStart < 0 ? 0 : Now(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;
  printf("received=%zu stored=%zu markers=%zu cpu_seconds=%.6f last_marker_wall=%.6f\n", received,
         seenCount, markersSeen, cpu, lastMarkerWall);
  return 0;
}

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "send") == 0) return Send(argc, argv);
  if (argc >= 2 && strcmp(argv[1], "anchor") == 0) return Anchor(argc, argv);
  fprintf(stderr, "usage: %s send FILE IFACE PORT RATE WAIT_MS | anchor FILE IFACE TIMEOUT_MS\n",
          argv[0]);
  return 1;
}
