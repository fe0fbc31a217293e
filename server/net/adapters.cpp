#include "net/adapters.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/diag.h"

namespace ferro {
namespace {

bool SameMac(const std::array<uint8_t, 8>& a, const std::array<uint8_t, kMacSize>& b) {
  return std::memcmp(a.data(), b.data(), kMacSize) == 0;
}

// The names the engine is limited to (empty: none) and whether the names
// no adapter has were logged. Written before the engine's threads start and
// read by the adapter thread only.
struct AdapterLimit {
  std::vector<std::string> names;
  bool reported = false;
};
AdapterLimit& Limit() {
  static AdapterLimit limit;
  return limit;
}

}  // namespace

std::vector<std::string> SplitAdapterNames(std::string_view text) {
  std::vector<std::string> names;
  while (!text.empty()) {
    const size_t comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    if (!item.empty() && std::find(names.begin(), names.end(), item) == names.end()) {
      names.emplace_back(item);
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return names;
}

std::vector<std::string> KeepNamedAdapters(std::vector<AdapterEntry>& adapters,
                                           const std::vector<std::string>& names) {
  if (names.empty()) return {};
  std::vector<std::string> missing;
  for (const std::string& name : names) {
    if (std::none_of(adapters.begin(), adapters.end(),
                     [&name](const AdapterEntry& a) { return a.ifName == name; })) {
      missing.push_back(name);
    }
  }
  std::erase_if(adapters, [&names](const AdapterEntry& a) {
    return std::find(names.begin(), names.end(), a.ifName) == names.end();
  });
  return missing;
}

void LimitAdapters(std::vector<std::string> names) {
  Limit().names = std::move(names);
  Limit().reported = false;
}

void ReconcileAdapters(std::vector<AdapterEntry>& adapters, SocketOpener& opener) {
  AdapterLimit& limit = Limit();
  const std::vector<std::string> missing = KeepNamedAdapters(adapters, limit.names);
  if (!limit.names.empty() && !limit.reported) {
    limit.reported = true;
    for (const std::string& name : missing) {
      Diag(
          "interfaces: no interface \"%s\" is up with this name; the engine uses only the "
          "interfaces named\n",
          name.c_str());
    }
  }
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
