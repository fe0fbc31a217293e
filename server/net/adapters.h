#pragma once
// The machine's network adapters and the reconciliation that keeps one
// AdapterSocketSet per adapter and four sockets per local IPv4 address.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
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
// Adapters outside the limit (see LimitAdapters) are dropped first: they get
// no set, and a set they had is closed.
void ReconcileAdapters(std::vector<AdapterEntry>& adapters, SocketOpener& opener);

// "eth1,eth2" as its names, in order, each once; empty items are skipped.
std::vector<std::string> SplitAdapterNames(std::string_view text);

// Drops from `adapters` those whose name is not in `names` (an empty list
// keeps every adapter). Returns the names that no adapter in the list had.
std::vector<std::string> KeepNamedAdapters(std::vector<AdapterEntry>& adapters,
                                           const std::vector<std::string>& names);

// Limits the engine to the adapters named (empty: every adapter, the
// default). Set before the engine starts; the first reconciliation after it
// logs, once, each name that no adapter has.
void LimitAdapters(std::vector<std::string> names);

}  // namespace ferro
