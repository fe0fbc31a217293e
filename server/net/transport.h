#pragma once
// UDP transport to the agents. Every local IPv4 address of every adapter has
// four UDP sockets bound to it; requests leave through them in five ways and
// whatever arrives on any of them is received by one thread and queued.
//
// Addresses and masks are IPv4 values in network order (as they travel).

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ordered_mutex.h"
#include "platform/socket.h"
#include "protocol/packet.h"

namespace ferro {

enum class SocketKind : uint8_t { kGroup = 0, kBroadcast = 1, kUnicast = 2, kTransfer = 3 };
inline constexpr int kSocketKinds = 4;
// Local port of every transfer socket (does not follow the configuration).
inline constexpr uint16_t kTransferPort = 64517;
// Receive buffer asked for on every socket: room for a burst of well over
// 1,000 replies of 1,500 bytes (one discovery answered by a few hundred agents).
inline constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;

// One open UDP socket. The descriptor is closed when the last holder lets go,
// so a socket that the receive thread gave up on (failed) is never closed
// twice nor its number reused while a sender or the address still names it.
class UdpSocket {
 public:
  UdpSocket(SocketHandle fd, SocketKind kind) : fd_(fd), kind_(kind) {}
  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  SocketHandle fd() const { return fd_; }
  SocketKind kind() const { return kind_; }
  // Set by the receive thread after a receive failure: the socket is closed
  // at once (its port is free again) and no longer used for anything, while
  // its descriptor number stays reserved until the last holder lets go.
  // On Windows no placeholder can keep a handle value taken, so the caller
  // holds AdapterSocketLock, under which every sender checks failed()
  // before it uses the handle.
  bool failed() const { return failed_.load(std::memory_order_acquire); }
  void CloseNow();

 private:
  const SocketHandle fd_;  // kNoSocket for sockets that exist only in tests
  const SocketKind kind_;
  std::atomic<bool> failed_{false};
};
using SocketRef = std::shared_ptr<UdpSocket>;

// One local address with its sockets (absent ones are null).
struct AdapterSocket {
  uint32_t ip = 0;
  uint32_t mask = 0;
  SocketRef unicast;
  SocketRef transfer;
  SocketRef group;
  SocketRef broadcast;
  bool matched = false;
};

// On Linux a socket bound to a unicast address does not receive broadcasts
// or the group's datagrams, so each adapter also has receive-only
// sockets ("listeners"), each tied to the adapter: bound to the limited
// broadcast and to the directed broadcast of each of its subnets on the
// port of each kind, and to the group on the group port. They take the
// kind of the port they serve, so what they receive is queued exactly as if
// the address's own socket had received it; they never send.
// On Windows the address's own sockets receive both, and the system opener
// opens no listener there.
struct ListenerKey {
  uint32_t address = 0;  // network order
  SocketKind kind = SocketKind::kUnicast;
  bool operator==(const ListenerKey&) const = default;
};
struct Listener {
  ListenerKey key;
  SocketRef socket;  // null when it could not be opened
};

// The sockets of one adapter, identified by its MAC across passes.
struct AdapterSocketSet {
  std::vector<AdapterSocket> sockets;  // one per local address, in order
  std::vector<Listener> listeners;     // see SyncListeners
  std::array<uint8_t, kMacSize> mac{};
  uint32_t ifIndex = 0;
  std::string ifName;  // for the outgoing-interface binding and ARP entries
  bool matched = false;
};

// Guarded by AdapterSocketLock(): shared with every sender.
OrderedMutex& AdapterSocketLock();
std::vector<AdapterSocketSet>& AdapterSocketList();

// Every socket the receive thread waits on. Guarded by ReceiveSocketLock(),
// which nests inside AdapterSocketLock().
OrderedMutex& ReceiveSocketLock();
std::vector<SocketRef>& ReceiveSocketList();

// Opens one socket of a kind for a local address of an adapter set. The
// system opener is the default; tests substitute one that opens nothing.
class SocketOpener {
 public:
  virtual ~SocketOpener() = default;
  virtual SocketRef Open(SocketKind kind, uint32_t ip, const AdapterSocketSet& set) = 0;
  // A receive-only socket bound to `address` (a broadcast address or the
  // group) on the port of `kind`, tied to the set's adapter.
  virtual SocketRef OpenListener(SocketKind, uint32_t /*address*/, const AdapterSocketSet&) {
    return nullptr;
  }
};
SocketOpener& SystemSocketOpener();

// Hands one datagram to the system; returns 0 when sent (or when the socket
// would block), else the error number. Tests substitute a recorder.
using DatagramSender = int (*)(const UdpSocket& socket, uint32_t ip, uint16_t port,
                               const uint8_t* data, size_t length);
void SetDatagramSender(DatagramSender sender);  // nullptr: the system's sendto

// Opening and closing one address of a set (caller holds AdapterSocketLock).
// Opening makes the sockets in the order unicast, transfer, group,
// broadcast, registers each that opened for receiving and appends the record.
void OpenAddress(AdapterSocketSet& set, uint32_t ip, uint32_t mask, SocketOpener& opener);
// Drops the address's sockets from the receive list and releases them.
void CloseAddress(AdapterSocket& address);
// Brings a set's listeners in line with its present addresses and masks
// (none when it has no address), registering new ones for receiving and
// dropping those no longer wanted. Caller holds AdapterSocketLock.
void SyncListeners(AdapterSocketSet& set, SocketOpener& opener);
// Drops and releases every listener of a set.
void CloseListeners(AdapterSocketSet& set);
// Closes every address of every set and empties both lists.
void CloseAllSockets();

// The five ways of sending. Each holds AdapterSocketLock for its whole walk.
// The MAC of each adapter set is written into bytes 20-25 of `packet` before
// that set's addresses send (so the caller's buffer ends up holding the MAC
// of the last set). Results: 1 when at least one send was attempted.
int SendToAgent(uint32_t agentIp, uint8_t* packet, size_t length);
int SendBroadcast(uint8_t* packet, size_t length);
int SendMulticast(uint8_t* packet, size_t length);
int SendToAll(uint8_t* packet, size_t length);
// TFTP datagrams from the transfer sockets, no MAC copy; `port` in network
// order. 0 at the first hard send error.
int SendTransfer(uint32_t ip, uint16_t port, const uint8_t* bytes, size_t length);

// Netmask (network order) that SendTransfer uses in its subnet test instead
// of an address's own mask when it is the longer one (set to the agent's
// netmask before a transfer); 0 lets each address's mask apply.
void SetTransferMaskOverride(uint32_t mask);
uint32_t TransferMaskOverride();

}  // namespace ferro
