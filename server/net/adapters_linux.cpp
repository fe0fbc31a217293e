// The adapters through getifaddrs: link-layer entries give the adapters,
// IPv4 entries their addresses.
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "net/adapters.h"

namespace ferro {
namespace {

// Address labels ("eth0:1") belong to their base interface.
std::string BaseName(const char* name) {
  std::string s(name);
  const size_t colon = s.find(':');
  return colon == std::string::npos ? s : s.substr(0, colon);
}

bool Usable(unsigned flags) { return (flags & IFF_UP) != 0 && (flags & IFF_LOOPBACK) == 0; }

}  // namespace

bool ReadAdapters(std::vector<AdapterEntry>& out) {
  out.clear();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  // Link-layer entries first: one adapter each, in the system's order.
  for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_PACKET) continue;
    if (!Usable(i->ifa_flags)) continue;
    const auto* ll = reinterpret_cast<const sockaddr_ll*>(i->ifa_addr);
    AdapterEntry a;
    a.ifName = i->ifa_name;
    a.ifIndex = static_cast<uint32_t>(ll->sll_ifindex);
    a.macLength = std::min<uint32_t>(ll->sll_halen, static_cast<uint32_t>(a.mac.size()));
    std::memcpy(a.mac.data(), ll->sll_addr, a.macLength);
    out.push_back(std::move(a));
  }
  for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if (!Usable(i->ifa_flags)) continue;
    const std::string name = BaseName(i->ifa_name);
    auto it = std::find_if(out.begin(), out.end(),
                           [&name](const AdapterEntry& a) { return a.ifName == name; });
    if (it == out.end()) continue;
    IpEntry e;
    e.ip = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
    if (i->ifa_netmask != nullptr) {
      e.mask = reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr;
    }
    if (e.ip != 0) it->ipList.push_back(e);
  }
  freeifaddrs(list);
  return true;
}

}  // namespace ferro
