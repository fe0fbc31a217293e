#pragma once
// The machine's network adapters and the reconciliation that keeps one
// AdapterSocketSet per adapter and four sockets per local IPv4 address.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "net/transport.h"

namespace ferro {

struct IpEntry {
  uint32_t ip = 0;    // network order; 0.0.0.0 is never stored
  uint32_t mask = 0;  // network order
  bool matched = false;
};

struct AdapterEntry {
  std::vector<IpEntry> ipList;  // in the order the system lists them
  std::array<uint8_t, 8> mac{};
  uint32_t macLength = 0;  // bytes the system reports; the first 6 identify the adapter
  uint32_t ifIndex = 0;
  std::string ifName;
  bool matched = false;
};

// Reads the adapters from the system: those that are up and not loopback,
// with their IPv4 addresses and masks, hardware address and interface index.
// Returns false (and an empty list) when the table cannot be read.
bool ReadAdapters(std::vector<AdapterEntry>& out);

// One reconciliation of the AdapterSocketList with `adapters` (under
// AdapterSocketLock): an adapter is matched to its set by MAC (and interface
// index) and an address
// by its IPv4 value; a changed mask is copied and the sockets kept; sockets
// of vanished addresses and sets of vanished adapters are closed; new
// addresses and adapters get sockets. Adapters without an address get no set.
void ReconcileAdapters(std::vector<AdapterEntry>& adapters, SocketOpener& opener);

}  // namespace ferro
