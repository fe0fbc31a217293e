// The adapters through the IP helper's GetAdaptersAddresses: one record per
// adapter that is up and not a loopback, with its IPv4 addresses.
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which they need.
#include <iphlpapi.h>

#include <algorithm>
#include <cstring>

#include "net/adapters.h"

namespace ferro {
namespace {

// The mask of an on-link prefix length, in network order.
uint32_t MaskOf(unsigned prefix) {
  if (prefix == 0) return 0;
  return htonl(prefix >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> prefix));
}

// An address the system has not settled (still being checked, or found to
// be another host's) cannot be bound yet; a later pass takes it.
bool Settled(const IP_ADAPTER_UNICAST_ADDRESS& u) {
  return u.DadState != IpDadStateTentative && u.DadState != IpDadStateDuplicate;
}

}  // namespace

bool ReadAdapters(std::vector<AdapterEntry>& out) {
  out.clear();
  constexpr ULONG kFlags =
      GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  // The table can grow between the size query and the read: a few tries.
  std::vector<uint64_t> buffer(16 * 1024 / sizeof(uint64_t));  // aligned for the records
  ULONG size = 0;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    size = static_cast<ULONG>(buffer.size() * sizeof(uint64_t));
    result = GetAdaptersAddresses(AF_INET, kFlags, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    if (result == ERROR_BUFFER_OVERFLOW) buffer.resize(size / sizeof(uint64_t) + 1);
  }
  if (result == ERROR_NO_DATA) return true;  // no adapter with IPv4
  if (result != NO_ERROR) return false;
  for (const IP_ADAPTER_ADDRESSES* a = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data());
       a != nullptr; a = a->Next) {
    if (a->OperStatus != IfOperStatusUp || a->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
    AdapterEntry e;
    e.ifName = a->AdapterName != nullptr ? a->AdapterName : "";
    e.ifIndex = a->IfIndex;
    e.macLength = std::min<uint32_t>(a->PhysicalAddressLength, static_cast<uint32_t>(e.mac.size()));
    std::memcpy(e.mac.data(), a->PhysicalAddress, e.macLength);
    for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u != nullptr; u = u->Next) {
      const sockaddr* address = u->Address.lpSockaddr;
      if (address == nullptr || address->sa_family != AF_INET || !Settled(*u)) continue;
      IpEntry ip;
      ip.ip = reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr;
      ip.mask = MaskOf(u->OnLinkPrefixLength);
      if (ip.ip != 0) e.ipList.push_back(ip);
    }
    out.push_back(std::move(e));
  }
  return true;
}

}  // namespace ferro
