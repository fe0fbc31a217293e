// ARP entries through the SIOCSARP / SIOCDARP requests on an IPv4 socket.
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>

#include "net/arp.h"
#include "net/transport.h"

namespace ferro {
namespace {

arpreq MakeRequest(uint32_t ip, const std::string& ifName) {
  arpreq r{};
  auto* pa = reinterpret_cast<sockaddr_in*>(&r.arp_pa);
  pa->sin_family = AF_INET;
  pa->sin_addr.s_addr = ip;
  std::strncpy(r.arp_dev, ifName.c_str(), sizeof r.arp_dev - 1);
  return r;
}

bool DeleteEntry(int fd, uint32_t ip, const std::string& ifName) {
  arpreq r = MakeRequest(ip, ifName);
  return ioctl(fd, SIOCDARP, &r) == 0;
}

bool SetEntry(int fd, uint32_t ip, const uint8_t* mac, const std::string& ifName) {
  arpreq r = MakeRequest(ip, ifName);
  r.arp_ha.sa_family = ARPHRD_ETHER;
  std::memcpy(r.arp_ha.sa_data, mac, 6);
  r.arp_flags = ATF_PERM | ATF_COM;
  return ioctl(fd, SIOCSARP, &r) == 0;
}

class ControlSocket {
 public:
  ControlSocket() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  ~ControlSocket() {
    if (fd_ >= 0) close(fd_);
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

int SetStaticArpAll(uint32_t ip, const uint8_t* mac) {
  if (mac == nullptr) return 0;
  ControlSocket control;
  if (control.fd() < 0) return 0;
  int made = 0;
  std::lock_guard lock(AdapterSocketLock());
  for (const AdapterSocketSet& set : AdapterSocketList()) {
    DeleteEntry(control.fd(), ip, set.ifName);
    if (SetEntry(control.fd(), ip, mac, set.ifName)) made = 1;
  }
  return made;
}

int DeleteArpAll(uint32_t ip) {
  ControlSocket control;
  if (control.fd() < 0) return 0;
  int removed = 0;
  std::lock_guard lock(AdapterSocketLock());
  for (const AdapterSocketSet& set : AdapterSocketList()) {
    if (DeleteEntry(control.fd(), ip, set.ifName)) removed = 1;
  }
  return removed;
}

}  // namespace ferro
