#include "net/adapters.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace ferro {
namespace {

bool SameMac(const std::array<uint8_t, 8>& a, const std::array<uint8_t, kMacSize>& b) {
  return std::memcmp(a.data(), b.data(), kMacSize) == 0;
}

}  // namespace

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
