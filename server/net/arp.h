#pragma once
// Static ARP entries on every adapter that has sockets, so that unicast to
// an agent during a transfer needs no address resolution.

#include <cstdint>

namespace ferro {

// For every adapter set: removes any entry of `ip` on its interface, then
// pins `ip` (network order) to the 6-byte `mac` as a permanent entry.
// Returns 1 when at least one entry was made. Holds AdapterSocketLock.
int SetStaticArpAll(uint32_t ip, const uint8_t* mac);
// Removes the entry of `ip` on every adapter set's interface; 1 when at least
// one was removed. Holds AdapterSocketLock.
int DeleteArpAll(uint32_t ip);

}  // namespace ferro
