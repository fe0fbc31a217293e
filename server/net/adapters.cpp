#include "net/adapters.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace ferro {
namespace {

bool SameMac(const std::array<uint8_t, 8>& a, const std::array<uint8_t, kMacSize>& b) {
  return std::memcmp(a.data(), b.data(), kMacSize) == 0;
}

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

void ReconcileAdapters(std::vector<AdapterEntry>& adapters, SocketOpener& opener) {
  std::lock_guard lock(AdapterSocketLock());
  auto& sets = AdapterSocketList();
  for (AdapterEntry& a : adapters) {
    if (a.ipList.empty()) {
      a.matched = true;
      continue;
    }
    // The interface index joins the MAC as the key: VLAN interfaces share
    // their parent's MAC, and each must keep its own set.
    auto s = std::find_if(sets.begin(), sets.end(), [&a](const AdapterSocketSet& set) {
      return SameMac(a.mac, set.mac) && a.ifIndex == set.ifIndex;
    });
    if (s == sets.end()) continue;
    a.matched = true;
    s->matched = true;
    for (IpEntry& e : a.ipList) {
      for (AdapterSocket& r : s->sockets) {
        if (r.ip != e.ip) continue;
        e.matched = true;
        r.matched = true;
        r.mask = e.mask;
        break;
      }
    }
    for (AdapterSocket& r : s->sockets) {
      if (!r.matched) CloseAddress(r);
    }
    std::erase_if(s->sockets, [](const AdapterSocket& r) { return !r.matched; });
    for (IpEntry& e : a.ipList) {
      if (e.matched) continue;
      e.matched = true;
      OpenAddress(*s, e.ip, e.mask, opener);
      s->sockets.back().matched = true;
    }
    for (AdapterSocket& r : s->sockets) r.matched = false;
    SyncListeners(*s, opener);
  }
  for (AdapterSocketSet& set : sets) {
    if (set.matched) continue;
    for (AdapterSocket& r : set.sockets) CloseAddress(r);
    CloseListeners(set);
  }
  std::erase_if(sets, [](const AdapterSocketSet& set) { return !set.matched; });
  for (AdapterEntry& a : adapters) {
    if (a.matched) continue;
    a.matched = true;
    AdapterSocketSet set;
    std::memcpy(set.mac.data(), a.mac.data(), kMacSize);
    set.ifIndex = a.ifIndex;
    set.ifName = a.ifName;
    set.matched = true;  // new sets survive this pass
    for (const IpEntry& e : a.ipList) OpenAddress(set, e.ip, e.mask, opener);
    SyncListeners(set, opener);
    sets.push_back(std::move(set));
  }
  for (AdapterSocketSet& set : sets) set.matched = false;
}

}  // namespace ferro
