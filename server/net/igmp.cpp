#include "net/igmp.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "net/transport.h"
#include "platform/diag.h"

namespace ferro {

uint16_t InternetChecksum(const uint8_t* data, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < length; i += 2)
    sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
  if (length % 2 != 0) sum += static_cast<uint32_t>(data[length - 1] << 8);
  while ((sum >> 16) != 0) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

std::array<uint8_t, kIgmpReportSize> BuildIgmpV1Report(uint32_t group) {
  std::array<uint8_t, kIgmpReportSize> r{};
  r[0] = 0x12;
  std::memcpy(&r[4], &group, 4);  // already network order
  const uint16_t sum = InternetChecksum(r.data(), r.size());
  r[2] = static_cast<uint8_t>(sum >> 8);
  r[3] = static_cast<uint8_t>(sum);
  return r;
}

namespace {

SocketHandle OpenRawIgmp() {
  if (!StartSockets()) return kNoSocket;
  return socket(AF_INET, SOCK_RAW | kCloseOnExec, IPPROTO_IGMP);
}

// Sends the socket's multicast out of the local address `ip` (on Linux
// also named by its interface index).
bool LeaveThrough(SocketHandle fd, uint32_t ip, uint32_t ifIndex) {
#ifdef _WIN32
  (void)ifIndex;
  in_addr via{};
  via.s_addr = ip;
  return setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&via),
                    sizeof via) == 0;
#else
  ip_mreqn via{};
  via.imr_address.s_addr = ip;
  via.imr_ifindex = static_cast<int>(ifIndex);
  return setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof via) == 0;
#endif
}

}  // namespace

IgmpReporter::IgmpReporter() : fd_(OpenRawIgmp()) {
  if (!IsValidSocket(fd_)) {
    Diag("raw IGMP socket unavailable (%d): the system's own reports keep the group\n",
         LastSocketError());
  }
}

IgmpReporter::~IgmpReporter() {
  if (IsValidSocket(fd_)) CloseSocket(fd_);
}

void IgmpReporter::SendReport(const std::array<uint8_t, kIgmpReportSize>& report, uint32_t group) {
  if (!IsValidSocket(fd_)) return;
  struct Out {
    uint32_t ip;
    uint32_t ifIndex;
  };
  std::vector<Out> outs;
  {
    std::lock_guard lock(AdapterSocketLock());
    for (const AdapterSocketSet& set : AdapterSocketList()) {
      for (const AdapterSocket& a : set.sockets) outs.push_back(Out{a.ip, set.ifIndex});
    }
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = group;
  for (const Out& o : outs) {
    // The report has to leave on each local network, not just where the
    // routing table sends multicast.
    if (!LeaveThrough(fd_, o.ip, o.ifIndex)) continue;
    sendto(fd_, reinterpret_cast<const char*>(report.data()), static_cast<int>(report.size()), 0,
           reinterpret_cast<const sockaddr*>(&to), sizeof to);  // results are ignored
  }
}

}  // namespace ferro
