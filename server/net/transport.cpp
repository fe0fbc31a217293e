#include "net/transport.h"

#ifndef _WIN32
#include <fcntl.h>
#include <net/if.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "config/config_values.h"
#include "net/lock_ranks.h"
#include "platform/diag.h"

namespace ferro {

UdpSocket::~UdpSocket() {
  if (!IsValidSocket(fd_)) return;
#ifdef _WIN32
  if (failed()) return;  // closed already
#endif
  CloseSocket(fd_);
}

void UdpSocket::CloseNow() {
  if (failed_.exchange(true, std::memory_order_acq_rel) || !IsValidSocket(fd_)) return;
#ifdef _WIN32
  CloseSocket(fd_);
#else
  // Replacing the descriptor closes the socket but keeps its number taken,
  // so nothing else can be opened under it while a record still names it.
  static const int placeholder = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (placeholder >= 0) dup2(placeholder, fd_);
#endif
}

OrderedMutex& AdapterSocketLock() {
  static OrderedMutex lock(kRankAdapterSocket, "AdapterSocketLock");
  return lock;
}

std::vector<AdapterSocketSet>& AdapterSocketList() {
  static std::vector<AdapterSocketSet> list;
  return list;
}

OrderedMutex& ReceiveSocketLock() {
  static OrderedMutex lock(kRankReceiveSocket, "ReceiveSocketLock");
  return lock;
}

std::vector<SocketRef>& ReceiveSocketList() {
  static std::vector<SocketRef> list;
  return list;
}

namespace {

std::atomic<uint32_t> g_transferMaskOverride{0};

int SystemSend(const UdpSocket& socket, uint32_t ip, uint16_t port, const uint8_t* data,
               size_t length) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = ip;
  to.sin_port = htons(port);
  const auto n = sendto(socket.fd(), reinterpret_cast<const char*>(data), static_cast<int>(length),
                        kNoSignalFlag, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (n >= 0) return 0;
  const int error = LastSocketError();
  return IsWouldBlock(error) ? 0 : error;
}

std::atomic<DatagramSender> g_sender{nullptr};

int Send(const UdpSocket& socket, uint32_t ip, uint16_t port, const uint8_t* data, size_t length) {
  DatagramSender s = g_sender.load(std::memory_order_acquire);
  return (s != nullptr ? s : SystemSend)(socket, ip, port, data, length);
}

// A socket that can carry a send: present and not given up by the receiver.
const UdpSocket* Usable(const SocketRef& s) { return s && !s->failed() ? s.get() : nullptr; }

bool InSubnet(uint32_t target, uint32_t ip, uint32_t mask) {
  return (target & mask) == (ip & mask);
}

void CopyMac(uint8_t* packet, size_t length, const AdapterSocketSet& set) {
  if (length >= kHdrSenderMac + kMacSize) SetPacketSenderMac(packet, set.mac.data());
}

// Logs once per process that the kernel granted less receive buffer than asked.
void SetReceiveBuffer(SocketHandle fd) {
  int want = kReceiveBufferBytes;
  const auto* wanted = reinterpret_cast<const char*>(&want);
#ifdef SO_RCVBUFFORCE
  // Above the system's limit where the process may (Linux, with the right).
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, wanted, sizeof want) != 0)
#endif
  {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, wanted, sizeof want);
  }
  int got = 0;
  socklen_t len = sizeof got;
  getsockopt(fd, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&got), &len);
  static std::atomic<bool> logged{false};
  if (got < want && !logged.exchange(true)) {
    Diag("receive buffer: asked for %d bytes, the system granted %d\n", want, got);
  }
}

uint16_t PortOf(SocketKind kind) {
  switch (kind) {
    case SocketKind::kGroup:
      return Config().GroupPort.load();
    case SocketKind::kBroadcast:
      return Config().DiscoveryPort.load();
    case SocketKind::kUnicast:
      return Config().CommandPort.load();
    case SocketKind::kTransfer:
      break;
  }
  return kTransferPort;
}

bool Bind(SocketHandle fd, uint32_t ip, uint16_t port) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = ip;
  local.sin_port = htons(port);
  return bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

bool JoinGroup(SocketHandle fd, uint32_t ip, uint32_t ifIndex) {
#ifdef _WIN32
  // Windows names the interface by its address only.
  (void)ifIndex;
  ip_mreq join{};
  join.imr_multiaddr.s_addr = Config().multicastGroup.load();
  join.imr_interface.s_addr = ip;
#else
  ip_mreqn join{};
  join.imr_multiaddr.s_addr = Config().multicastGroup.load();
  join.imr_address.s_addr = ip;
  join.imr_ifindex = static_cast<int>(ifIndex);
#endif
  return setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&join),
                    sizeof join) == 0;
}

// A non-blocking UDP socket that no started program inherits, or kNoSocket.
SocketHandle OpenUdpSocket() {
  if (!StartSockets()) return kNoSocket;
  const SocketHandle fd = socket(AF_INET, SOCK_DGRAM | kCloseOnExec, 0);
  if (!IsValidSocket(fd)) return kNoSocket;
  // An agent that went away must not fail the socket's receives (Windows).
  if (!SetNonBlocking(fd, true) || !IgnoreUdpUnreachable(fd)) {
    CloseSocket(fd);
    return kNoSocket;
  }
  return fd;
}

bool SetOption(SocketHandle fd, int level, int name, int value) {
  return setsockopt(fd, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

// Another program of the machine must never bind the same address and port
// beside ours and take the agents' datagrams. SO_REUSEADDR would allow that
// to any user on either system (on Linux with SO_BINDTODEVICE, the other
// socket even wins the unicast replies). On Linux SO_REUSEPORT shares a port
// only among sockets of the same user; on Windows the port is held
// exclusively.
bool SetPortSharing(SocketHandle fd) {
#ifdef _WIN32
  return SetOption(fd, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
#else
  return SetOption(fd, SOL_SOCKET, SO_REUSEPORT, 1);
#endif
}

class SystemOpener final : public SocketOpener {
 public:
  SocketRef Open(SocketKind kind, uint32_t ip, const AdapterSocketSet& set) override;
  SocketRef OpenListener(SocketKind kind, uint32_t address, const AdapterSocketSet& set) override;
};

SocketRef SystemOpener::OpenListener(SocketKind kind, uint32_t address,
                                     const AdapterSocketSet& set) {
#ifdef _WIN32
  // The address's own sockets receive the broadcasts and the group there.
  (void)kind;
  (void)address;
  (void)set;
  return nullptr;
#else
  // Tied to its adapter, or it would hear every adapter's broadcasts and
  // each datagram would arrive twice.
  if (set.ifName.empty()) return nullptr;
  const SocketHandle fd = OpenUdpSocket();
  if (!IsValidSocket(fd)) return nullptr;
  SocketRef s = std::make_shared<UdpSocket>(fd, kind);  // closes fd on every failure below
  if (!SetPortSharing(fd)) return nullptr;
  SetReceiveBuffer(fd);
  if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, set.ifName.c_str(),
                 static_cast<socklen_t>(set.ifName.size())) != 0) {
    return nullptr;
  }
  if (!Bind(fd, address, PortOf(kind))) return nullptr;
  if (address == Config().multicastGroup.load() && !JoinGroup(fd, 0, set.ifIndex)) return nullptr;
  return s;
#endif
}

SocketRef SystemOpener::Open(SocketKind kind, uint32_t ip, const AdapterSocketSet& set) {
  const SocketHandle fd = OpenUdpSocket();
  if (!IsValidSocket(fd)) return nullptr;
  SocketRef s = std::make_shared<UdpSocket>(fd, kind);  // closes fd on every failure below
  if (kind == SocketKind::kBroadcast || kind == SocketKind::kTransfer) {
    if (!SetOption(fd, SOL_SOCKET, SO_BROADCAST, 1)) return nullptr;
  }
  if (!SetPortSharing(fd)) return nullptr;
  SetReceiveBuffer(fd);
#ifdef _WIN32
  // Windows sends broadcasts from the bound address's interface; unicast
  // follows the routing table unless tied to the adapter by its index.
  if (set.ifIndex != 0 &&
      !SetOption(fd, IPPROTO_IP, IP_UNICAST_IF, static_cast<int>(htonl(set.ifIndex)))) {
    static std::atomic<bool> logged{false};
    if (!logged.exchange(true)) {
      Diag("IP_UNICAST_IF(%u) failed: %d\n", set.ifIndex, LastSocketError());
    }
  }
  in_addr multicastIf{};
  multicastIf.s_addr = ip;
  if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&multicastIf),
                 sizeof multicastIf) != 0) {
    return nullptr;
  }
#else
  // A bound source address does not choose the outgoing interface on this
  // system: broadcasts and multicasts would follow the routing table (or
  // fail without a route). Tie the socket to its adapter.
  if (!set.ifName.empty() && setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, set.ifName.c_str(),
                                        static_cast<socklen_t>(set.ifName.size())) != 0) {
    static std::atomic<bool> logged{false};
    if (!logged.exchange(true)) {
      Diag("SO_BINDTODEVICE(%s) failed: %d\n", set.ifName.c_str(), errno);
    }
  }
  ip_mreqn ifreq{};
  ifreq.imr_address.s_addr = ip;
  ifreq.imr_ifindex = static_cast<int>(set.ifIndex);
  if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &ifreq, sizeof ifreq) != 0) return nullptr;
#endif

  if (!Bind(fd, ip, PortOf(kind))) {
    if (kind == SocketKind::kBroadcast) Diag("Test WSAGetLastError() = %d\n", LastSocketError());
    return nullptr;
  }
  if (kind == SocketKind::kGroup && !JoinGroup(fd, ip, set.ifIndex)) return nullptr;
  return s;
}

}  // namespace

SocketOpener& SystemSocketOpener() {
  static SystemOpener opener;
  return opener;
}

void SetDatagramSender(DatagramSender sender) { g_sender.store(sender, std::memory_order_release); }

void OpenAddress(AdapterSocketSet& set, uint32_t ip, uint32_t mask, SocketOpener& opener) {
  AdapterSocket a;
  a.ip = ip;
  a.mask = mask;
  a.unicast = opener.Open(SocketKind::kUnicast, ip, set);
  a.transfer = opener.Open(SocketKind::kTransfer, ip, set);
  a.group = opener.Open(SocketKind::kGroup, ip, set);
  a.broadcast = opener.Open(SocketKind::kBroadcast, ip, set);
  {
    std::lock_guard lock(ReceiveSocketLock());
    for (const SocketRef* s : {&a.unicast, &a.transfer, &a.group, &a.broadcast}) {
      if (*s) ReceiveSocketList().push_back(*s);
    }
  }
  set.sockets.push_back(std::move(a));
}

void CloseAddress(AdapterSocket& address) {
  {
    std::lock_guard lock(ReceiveSocketLock());
    auto& list = ReceiveSocketList();
    for (const SocketRef* s :
         {&address.unicast, &address.transfer, &address.group, &address.broadcast}) {
      if (!*s) continue;
      auto it = std::find(list.begin(), list.end(), *s);
      if (it != list.end()) list.erase(it);
    }
  }
  // The descriptors close here, or when the receive thread next takes the
  // list (it holds what it waits on; the adapter pass wakes it at once).
  address.unicast.reset();
  address.transfer.reset();
  address.group.reset();
  address.broadcast.reset();
}

namespace {

// The directed broadcast address of a subnet, or 0 where there is none
// (prefixes /31 and /32 have no broadcast address).
uint32_t DirectedBroadcast(uint32_t ip, uint32_t mask) {
  if ((ntohl(mask) & 0x2u) != 0) return 0;
  return ip | ~mask;
}

// Listeners a set should have: the limited broadcast and each directed
// broadcast on the four ports, and the group on the group port.
std::vector<ListenerKey> WantedListeners(const AdapterSocketSet& set) {
  std::vector<ListenerKey> wanted;
  if (set.sockets.empty()) return wanted;
  const auto add = [&wanted](uint32_t address, SocketKind kind) {
    const ListenerKey key{address, kind};
    if (std::find(wanted.begin(), wanted.end(), key) == wanted.end()) wanted.push_back(key);
  };
  constexpr SocketKind kKinds[] = {SocketKind::kUnicast, SocketKind::kTransfer, SocketKind::kGroup,
                                   SocketKind::kBroadcast};
  for (SocketKind kind : kKinds) add(INADDR_BROADCAST, kind);
  for (const AdapterSocket& a : set.sockets) {
    const uint32_t directed = DirectedBroadcast(a.ip, a.mask);
    if (directed == 0) continue;
    for (SocketKind kind : kKinds) add(directed, kind);
  }
  add(Config().multicastGroup.load(), SocketKind::kGroup);
  return wanted;
}

void Unregister(const SocketRef& s) {
  if (!s) return;
  auto& list = ReceiveSocketList();
  auto it = std::find(list.begin(), list.end(), s);
  if (it != list.end()) list.erase(it);
}

}  // namespace

void SyncListeners(AdapterSocketSet& set, SocketOpener& opener) {
  const std::vector<ListenerKey> wanted = WantedListeners(set);
  std::vector<Listener> kept;
  {
    std::lock_guard lock(ReceiveSocketLock());
    for (Listener& l : set.listeners) {
      if (std::find(wanted.begin(), wanted.end(), l.key) != wanted.end()) {
        kept.push_back(std::move(l));
      } else {
        Unregister(l.socket);
      }
    }
  }
  set.listeners = std::move(kept);
  for (const ListenerKey& key : wanted) {
    const bool present = std::any_of(set.listeners.begin(), set.listeners.end(),
                                     [&key](const Listener& l) { return l.key == key; });
    if (present) continue;
    // One that cannot be opened is remembered as absent, not retried.
    Listener l{key, opener.OpenListener(key.kind, key.address, set)};
    if (l.socket) {
      std::lock_guard lock(ReceiveSocketLock());
      ReceiveSocketList().push_back(l.socket);
    }
    set.listeners.push_back(std::move(l));
  }
}

void CloseListeners(AdapterSocketSet& set) {
  {
    std::lock_guard lock(ReceiveSocketLock());
    for (const Listener& l : set.listeners) Unregister(l.socket);
  }
  set.listeners.clear();
}

void CloseAllSockets() {
  std::lock_guard lock(AdapterSocketLock());
  for (AdapterSocketSet& set : AdapterSocketList()) {
    for (AdapterSocket& a : set.sockets) CloseAddress(a);
    CloseListeners(set);
  }
  AdapterSocketList().clear();
  std::lock_guard rlock(ReceiveSocketLock());
  ReceiveSocketList().clear();
}

int SendToAgent(uint32_t agentIp, uint8_t* packet, size_t length) {
  std::lock_guard lock(AdapterSocketLock());
  const auto& sets = AdapterSocketList();
  bool anyInSubnet = false;
  for (const AdapterSocketSet& set : sets) {
    for (const AdapterSocket& a : set.sockets) anyInSubnet |= InSubnet(agentIp, a.ip, a.mask);
  }
  const uint16_t port = Config().AgentPort.load();
  int attempted = 0;
  for (const AdapterSocketSet& set : sets) {
    CopyMac(packet, length, set);
    for (const AdapterSocket& a : set.sockets) {
      if (anyInSubnet && !InSubnet(agentIp, a.ip, a.mask)) continue;
      const UdpSocket* s = Usable(a.unicast);
      if (s == nullptr) continue;
      Send(*s, agentIp, port, packet, length);  // errors go unnoticed
      attempted = 1;
    }
  }
  return attempted;
}

int SendBroadcast(uint8_t* packet, size_t length) {
  std::lock_guard lock(AdapterSocketLock());
  const uint16_t port = Config().AgentPort.load();
  int attempted = 0;
  for (const AdapterSocketSet& set : AdapterSocketList()) {
    CopyMac(packet, length, set);
    for (const AdapterSocket& a : set.sockets) {
      const UdpSocket* s = Usable(a.broadcast);
      if (s == nullptr) continue;
      const int err = Send(*s, INADDR_BROADCAST, port, packet, length);
      if (err != 0) Diag("WSAGetLastError() = %d\n", err);
      attempted = 1;
    }
  }
  return attempted;
}

int SendMulticast(uint8_t* packet, size_t length) {
  std::lock_guard lock(AdapterSocketLock());
  const uint16_t port = Config().AgentPort.load();
  const uint32_t group = Config().multicastGroup.load();
  int attempted = 0;
  for (const AdapterSocketSet& set : AdapterSocketList()) {
    CopyMac(packet, length, set);
    for (const AdapterSocket& a : set.sockets) {
      const UdpSocket* s = Usable(a.group);
      if (s == nullptr) continue;
      Send(*s, group, port, packet, length);
      attempted = 1;
    }
  }
  return attempted;
}

int SendToAll(uint8_t* packet, size_t length) {
  const int b = SendBroadcast(packet, length);
  const int m = SendMulticast(packet, length);
  return b | m;
}

int SendTransfer(uint32_t ip, uint16_t port, const uint8_t* bytes, size_t length) {
  std::lock_guard lock(AdapterSocketLock());
  const uint32_t override = g_transferMaskOverride.load(std::memory_order_acquire);
  const auto maskFor = [override](uint32_t own) {
    return ntohl(override) > ntohl(own) ? override : own;
  };
  const auto& sets = AdapterSocketList();
  bool anyInSubnet = false;
  for (const AdapterSocketSet& set : sets) {
    for (const AdapterSocket& a : set.sockets) anyInSubnet |= InSubnet(ip, a.ip, maskFor(a.mask));
  }
  int attempted = 0;
  for (const AdapterSocketSet& set : sets) {
    for (const AdapterSocket& a : set.sockets) {
      if (anyInSubnet && !InSubnet(ip, a.ip, maskFor(a.mask))) continue;
      const UdpSocket* s = Usable(a.transfer);
      if (s == nullptr) continue;
      if (Send(*s, ip, ntohs(port), bytes, length) != 0) return 0;
      attempted = 1;
    }
  }
  return attempted;
}

void SetTransferMaskOverride(uint32_t mask) {
  g_transferMaskOverride.store(mask, std::memory_order_release);
}

uint32_t TransferMaskOverride() { return g_transferMaskOverride.load(std::memory_order_acquire); }

}  // namespace ferro
