#pragma once
// The neighbour-table calls behind the ARP entries on Windows. Tests put
// fakes in their place: Wine only stubs the system's, so a test there
// could not see an entry made.
#include <winsock2.h>
// After winsock2.h, which it needs.
#include <iphlpapi.h>

namespace ferro {

struct NeighbourTableCalls {
  DWORD(WINAPI* create)(PMIB_IPNETROW) = CreateIpNetEntry;
  DWORD(WINAPI* remove)(PMIB_IPNETROW) = DeleteIpNetEntry;
};
NeighbourTableCalls& NeighbourTable();

}  // namespace ferro
