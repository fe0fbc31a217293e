#pragma once
// Who is at the other end of a local TCP connection, and who holds a local
// port. The kernel knows the owner of every socket of this machine; the
// server asks it so that only its own user (and those it trusts) may change
// what it manages, and so that a port held by someone else is named instead
// of silently served by them.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/socket.h"

namespace ferro {

// The user that owns the socket at the other end of the connected TCP
// socket `s`, when that end is a socket of this machine still held by a
// process. Nothing when the kernel cannot tell (the peer is remote, its
// process has closed the socket, or the lookup failed): such a caller is
// nobody's.
std::optional<uint32_t> LocalPeerOwner(SocketHandle s);

// A listening TCP socket of this machine.
struct PortHolder {
  uint32_t uid = 0;
  int pid = 0;          // 0 when the process could not be found
  std::string command;  // its name, when found
};
// Who listens on TCP `port` at `address` (4 bytes in network order; a
// listener on any address counts too, and `address` 0 takes a listener on
// any address). Nothing when nobody does or the kernel cannot tell.
std::optional<PortHolder> TcpPortHolder(uint32_t address, uint16_t port);

// "user nobody (uid 65534)", or "uid 1234" for a uid without a name.
std::string DescribeUser(uint32_t uid);
// "pid 812 (nc), user nobody (uid 65534)" or "user nobody (uid 65534)".
std::string DescribePortHolder(const PortHolder& holder);

// The server's own user.
uint32_t ProcessUser();

// True when the user `uid` belongs to the group named `group`, as its
// primary group or as a listed member. False for an unknown user or group.
bool UserInGroup(uint32_t uid, const std::string& group);

}  // namespace ferro
