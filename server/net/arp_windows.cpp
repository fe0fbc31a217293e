// ARP entries through the IP helper's neighbour table (CreateIpNetEntry /
// DeleteIpNetEntry), each on the interface of an adapter set.
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which they need.
#include <iphlpapi.h>

#include <cstring>
#include <mutex>

#include "net/arp.h"
#include "net/arp_windows.h"
#include "net/transport.h"

namespace ferro {

NeighbourTableCalls& NeighbourTable() {
  static NeighbourTableCalls calls;
  return calls;
}

namespace {

MIB_IPNETROW MakeRow(uint32_t ip, uint32_t ifIndex) {
  MIB_IPNETROW row{};
  row.dwIndex = ifIndex;
  row.dwAddr = ip;
  return row;
}

bool DeleteEntry(uint32_t ip, uint32_t ifIndex) {
  MIB_IPNETROW row = MakeRow(ip, ifIndex);
  return NeighbourTable().remove(&row) == NO_ERROR;
}

bool SetEntry(uint32_t ip, const uint8_t* mac, uint32_t ifIndex) {
  MIB_IPNETROW row = MakeRow(ip, ifIndex);
  row.dwPhysAddrLen = 6;
  std::memcpy(row.bPhysAddr, mac, 6);
  row.dwType = MIB_IPNET_TYPE_STATIC;
  return NeighbourTable().create(&row) == NO_ERROR;
}

}  // namespace

int SetStaticArpAll(uint32_t ip, const uint8_t* mac) {
  if (mac == nullptr) return 0;
  int made = 0;
  std::lock_guard lock(AdapterSocketLock());
  for (const AdapterSocketSet& set : AdapterSocketList()) {
    DeleteEntry(ip, set.ifIndex);  // an existing entry would make the creation fail
    if (SetEntry(ip, mac, set.ifIndex)) made = 1;
  }
  return made;
}

int DeleteArpAll(uint32_t ip) {
  int removed = 0;
  std::lock_guard lock(AdapterSocketLock());
  for (const AdapterSocketSet& set : AdapterSocketList()) {
    if (DeleteEntry(ip, set.ifIndex)) removed = 1;
  }
  return removed;
}

}  // namespace ferro
