// Transport logic without touching the network: adapter reconciliation with
// a socket opener that opens nothing, the send variants with a recorder in
// place of the system's sendto, and the receive side on loopback sockets.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/engine_config.h"
#include "engine/engine_state.h"
#include "engine/upgrade.h"
#include "net/adapters.h"
#include "net/igmp.h"
#include "net/lock_ranks.h"
#include "net/packet_queue.h"
#include "net/receive.h"
#include "net/transport.h"
#include "platform/socket.h"
#ifdef _WIN32
#include <cstring>

#include "net/arp.h"
#include "net/arp_windows.h"
#endif

namespace ferro {
namespace {

uint32_t Ip(const char* text) { return inet_addr(text); }

class FakeOpener : public SocketOpener {
 public:
  SocketRef Open(SocketKind kind, uint32_t, const AdapterSocketSet&) override {
    ++opened;
    return std::make_shared<UdpSocket>(-1, kind);
  }
  int opened = 0;
};

struct SentDatagram {
  SocketKind kind;
  uint32_t ip;
  uint16_t port;
  std::vector<uint8_t> bytes;
};
std::vector<SentDatagram> g_sent;
int g_sendError = 0;

int RecordSend(const UdpSocket& s, uint32_t ip, uint16_t port, const uint8_t* data, size_t n) {
  g_sent.push_back(SentDatagram{s.kind(), ip, port, std::vector<uint8_t>(data, data + n)});
  return g_sendError;
}

AdapterEntry Adapter(uint8_t macLast, uint32_t ifIndex,
                     std::vector<std::pair<const char*, const char*>> addresses) {
  AdapterEntry a;
  a.mac = {0x02, 0, 0, 0, 0, macLast, 0, 0};
  a.macLength = 6;
  a.ifIndex = ifIndex;
  a.ifName = "test" + std::to_string(ifIndex);
  for (const auto& [ip, mask] : addresses) a.ipList.push_back(IpEntry{Ip(ip), Ip(mask), false});
  return a;
}

size_t ReceiveListSize() {
  std::lock_guard lock(ReceiveSocketLock());
  return ReceiveSocketList().size();
}

class EngineTransport : public ::testing::Test {
 protected:
  void SetUp() override {
    g_sent.clear();
    g_sendError = 0;
    SetDatagramSender(RecordSend);
    SetTransferMaskOverride(0);
    savedPort_ = Config().AgentPort.load();
    savedGroup_ = Config().multicastGroup.load();
    Config().AgentPort = 64515;
    Config().multicastGroup = Ip("239.255.255.100");
  }
  void TearDown() override {
    CloseAllSockets();
    SetDatagramSender(nullptr);
    SetTransferMaskOverride(0);
    Config().AgentPort = savedPort_;
    Config().multicastGroup = savedGroup_;
  }
  void Reconcile(std::vector<AdapterEntry> adapters) { ReconcileAdapters(adapters, opener_); }

  FakeOpener opener_;
  uint16_t savedPort_ = 0;
  uint32_t savedGroup_ = 0;
};

TEST_F(EngineTransport, OneAdapterWithTwoAddressesGetsOneSetOfEightSockets) {
  Reconcile({Adapter(1, 7, {{"10.0.0.1", "255.255.255.0"}, {"10.0.1.1", "255.255.255.0"}}),
             Adapter(2, 8, {})});  // no address: no set
  std::lock_guard lock(AdapterSocketLock());
  ASSERT_EQ(AdapterSocketList().size(), 1u);
  const AdapterSocketSet& set = AdapterSocketList()[0];
  EXPECT_EQ(set.ifIndex, 7u);
  ASSERT_EQ(set.sockets.size(), 2u);
  EXPECT_EQ(set.sockets[1].ip, Ip("10.0.1.1"));
  EXPECT_EQ(opener_.opened, 8);
  EXPECT_EQ(ReceiveListSize(), 8u);
  EXPECT_EQ(set.sockets[0].unicast->kind(), SocketKind::kUnicast);
  EXPECT_EQ(set.sockets[0].group->kind(), SocketKind::kGroup);
}

// Also opens listeners (sockets that never are real).
class ListeningOpener : public FakeOpener {
 public:
  SocketRef OpenListener(SocketKind kind, uint32_t, const AdapterSocketSet&) override {
    ++listeners;
    return std::make_shared<UdpSocket>(-1, kind);
  }
  int listeners = 0;
};

std::vector<std::pair<uint32_t, SocketKind>> ListenerKeys(size_t set) {
  std::vector<std::pair<uint32_t, SocketKind>> keys;
  for (const Listener& l : AdapterSocketList()[set].listeners) {
    EXPECT_TRUE(l.socket);
    EXPECT_EQ(l.socket->kind(), l.key.kind);
    keys.emplace_back(l.key.address, l.key.kind);
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

std::vector<std::pair<uint32_t, SocketKind>> Expected(std::vector<const char*> broadcasts) {
  std::vector<std::pair<uint32_t, SocketKind>> keys;
  for (const char* b : broadcasts) {
    for (SocketKind k : {SocketKind::kGroup, SocketKind::kBroadcast, SocketKind::kUnicast,
                         SocketKind::kTransfer}) {
      keys.emplace_back(Ip(b), k);
    }
  }
  keys.emplace_back(Ip("239.255.255.100"), SocketKind::kGroup);
  std::sort(keys.begin(), keys.end());
  return keys;
}

TEST_F(EngineTransport, EachAdapterListensOnceOnItsBroadcastsAndTheGroup) {
  ListeningOpener opener;
  std::vector<AdapterEntry> adapters{
      Adapter(1, 7,
              {{"10.0.0.1", "255.255.0.0"},
               {"10.0.9.9", "255.255.0.0"},        // the same subnet: no second copy
               {"10.9.0.1", "255.255.255.255"}}),  // a /32 has no directed broadcast
      Adapter(2, 8, {{"192.168.0.1", "255.255.255.0"}})};
  ReconcileAdapters(adapters, opener);
  {
    std::lock_guard lock(AdapterSocketLock());
    EXPECT_EQ(ListenerKeys(0), Expected({"255.255.255.255", "10.0.255.255"}));
    EXPECT_EQ(ListenerKeys(1), Expected({"255.255.255.255", "192.168.0.255"}));
  }
  EXPECT_EQ(opener.listeners, 18);
  EXPECT_EQ(ReceiveListSize(), 16u + 18u);  // four per address, nine per adapter

  // A narrower mask gives its address a subnet of its own; the other address
  // keeps the old one.
  std::weak_ptr<UdpSocket> wide;
  {
    std::lock_guard lock(AdapterSocketLock());
    for (const Listener& l : AdapterSocketList()[0].listeners) {
      if (l.key.address == Ip("10.0.255.255")) wide = l.socket;
    }
  }
  adapters = {Adapter(1, 7,
                      {{"10.0.0.1", "255.255.255.0"},
                       {"10.0.9.9", "255.255.0.0"},
                       {"10.9.0.1", "255.255.255.255"}}),
              Adapter(2, 8, {{"192.168.0.1", "255.255.255.0"}})};
  ReconcileAdapters(adapters, opener);
  {
    std::lock_guard lock(AdapterSocketLock());
    EXPECT_EQ(ListenerKeys(0), Expected({"255.255.255.255", "10.0.255.255", "10.0.0.255"}));
  }
  EXPECT_FALSE(wide.expired());
  EXPECT_EQ(opener.listeners, 22);

  // The address that needed the wide subnet goes: so do its listeners. An
  // adapter that goes loses all of its own.
  adapters = {Adapter(1, 7, {{"10.0.0.1", "255.255.255.0"}, {"10.9.0.1", "255.255.255.255"}}),
              Adapter(2, 8, {})};
  ReconcileAdapters(adapters, opener);
  {
    std::lock_guard lock(AdapterSocketLock());
    ASSERT_EQ(AdapterSocketList().size(), 1u);
    EXPECT_EQ(ListenerKeys(0), Expected({"255.255.255.255", "10.0.0.255"}));
  }
  EXPECT_TRUE(wide.expired());
  EXPECT_EQ(ReceiveListSize(), 8u + 9u);
  CloseAllSockets();
  EXPECT_EQ(ReceiveListSize(), 0u);
}

TEST_F(EngineTransport, MaskChangeKeepsSocketsAndAddressChangeReplacesThem) {
  Reconcile({Adapter(1, 7, {{"10.0.0.1", "255.255.255.0"}, {"10.0.1.1", "255.255.255.0"}})});
  std::weak_ptr<UdpSocket> first, second;
  {
    std::lock_guard lock(AdapterSocketLock());
    first = AdapterSocketList()[0].sockets[0].unicast;
    second = AdapterSocketList()[0].sockets[1].unicast;
  }
  Reconcile({Adapter(1, 7, {{"10.0.0.1", "255.255.0.0"}, {"10.0.2.1", "255.255.255.0"}})});
  std::lock_guard lock(AdapterSocketLock());
  const AdapterSocketSet& set = AdapterSocketList()[0];
  ASSERT_EQ(set.sockets.size(), 2u);
  EXPECT_EQ(set.sockets[0].unicast, first.lock());  // same socket, new mask
  EXPECT_EQ(set.sockets[0].mask, Ip("255.255.0.0"));
  EXPECT_TRUE(second.expired());  // old address closed
  EXPECT_EQ(set.sockets[1].ip, Ip("10.0.2.1"));
  EXPECT_EQ(opener_.opened, 12);
  EXPECT_EQ(ReceiveListSize(), 8u);
}

TEST_F(EngineTransport, VanishedAndChangedAdaptersLoseTheirSetsInOnePass) {
  Reconcile({Adapter(1, 7, {{"10.0.0.1", "255.255.255.0"}}),
             Adapter(2, 8, {{"10.1.0.1", "255.255.255.0"}})});
  // Adapter 1 changes its MAC, adapter 2 loses its address.
  Reconcile({Adapter(3, 7, {{"10.0.0.1", "255.255.255.0"}}), Adapter(2, 8, {})});
  {
    std::lock_guard lock(AdapterSocketLock());
    ASSERT_EQ(AdapterSocketList().size(), 1u);
    EXPECT_EQ(AdapterSocketList()[0].mac[5], 3);
  }
  EXPECT_EQ(ReceiveListSize(), 4u);
  // A failed adapter read yields an empty list: every socket goes.
  Reconcile({});
  EXPECT_EQ(ReceiveListSize(), 0u);
  std::lock_guard lock(AdapterSocketLock());
  EXPECT_TRUE(AdapterSocketList().empty());
}

TEST_F(EngineTransport, AdaptersSharingAMacKeepTheirOwnSets) {
  // VLAN interfaces carry their parent's MAC; each keeps its sockets.
  Reconcile({Adapter(1, 7, {{"10.0.0.1", "255.255.255.0"}}),
             Adapter(1, 9, {{"10.9.0.1", "255.255.255.0"}})});
  Reconcile({Adapter(1, 7, {{"10.0.0.1", "255.255.255.0"}}),
             Adapter(1, 9, {{"10.9.0.1", "255.255.255.0"}})});
  EXPECT_EQ(opener_.opened, 8);
}

TEST_F(EngineTransport, ALimitToNamedInterfacesClosesAndNeverOpensTheOthers) {
  EXPECT_EQ(SplitAdapterNames("test8,,test7,test8,"), (std::vector<std::string>{"test8", "test7"}));
  EXPECT_TRUE(SplitAdapterNames(",").empty());
  Reconcile({Adapter(1, 7, {{"10.0.0.1", "255.255.255.0"}}),
             Adapter(2, 8, {{"10.1.0.1", "255.255.255.0"}})});
  // Limited while sockets are open: the unnamed adapter's set goes at the
  // next pass and comes back on no later one; a name no adapter has, or a
  // name's prefix, matches nothing.
  LimitAdapters({"test8", "eth9", "test"});
  for (int pass = 0; pass < 2; ++pass) {
    Reconcile({Adapter(1, 7, {{"10.0.0.1", "255.255.255.0"}}),
               Adapter(2, 8, {{"10.1.0.1", "255.255.255.0"}})});
    std::lock_guard lock(AdapterSocketLock());
    ASSERT_EQ(AdapterSocketList().size(), 1u);
    EXPECT_EQ(AdapterSocketList()[0].ifName, "test8");
  }
  EXPECT_EQ(ReceiveListSize(), 4u);
  std::vector<AdapterEntry> adapters = {Adapter(1, 7, {}), Adapter(2, 8, {})};
  EXPECT_EQ(KeepNamedAdapters(adapters, {"test8", "eth9"}), std::vector<std::string>{"eth9"});
  ASSERT_EQ(adapters.size(), 1u);
  EXPECT_EQ(adapters[0].ifIndex, 8u);
  // No limit keeps every adapter.
  LimitAdapters({});
  Reconcile({Adapter(1, 7, {{"10.0.0.1", "255.255.255.0"}}),
             Adapter(2, 8, {{"10.1.0.1", "255.255.255.0"}})});
  EXPECT_EQ(ReceiveListSize(), 8u);
}

TEST_F(EngineTransport, SendToAgentPicksTheSubnetOrElseEveryAddress) {
  Reconcile({Adapter(1, 7, {{"10.0.0.1", "255.255.255.0"}}),
             Adapter(2, 8, {{"10.1.0.1", "255.255.255.0"}, {"10.1.0.2", "255.255.255.0"}})});
  uint8_t packet[kPacketHeaderSize] = {};
  EXPECT_EQ(SendToAgent(Ip("10.1.0.50"), packet, sizeof packet), 1);
  ASSERT_EQ(g_sent.size(), 2u);
  for (const SentDatagram& d : g_sent) {
    EXPECT_EQ(d.kind, SocketKind::kUnicast);
    EXPECT_EQ(d.ip, Ip("10.1.0.50"));
    EXPECT_EQ(d.port, 64515);
    EXPECT_EQ(d.bytes[kHdrSenderMac + 5], 2);  // the MAC of the adapter it leaves
  }
  g_sent.clear();
  EXPECT_EQ(SendToAgent(Ip("192.168.9.9"), packet, sizeof packet), 1);
  EXPECT_EQ(g_sent.size(), 3u);
}

TEST_F(EngineTransport, SendToAllBroadcastsAndMulticastsFromEveryAddressWithItsMac) {
  uint8_t packet[kPacketHeaderSize] = {};
  EXPECT_EQ(SendToAll(packet, sizeof packet), 0);  // before the first adapter pass
  Reconcile({Adapter(1, 7, {{"10.0.0.1", "255.255.255.0"}}),
             Adapter(2, 8, {{"10.1.0.1", "255.255.255.0"}})});
  EXPECT_EQ(SendToAll(packet, sizeof packet), 1);
  ASSERT_EQ(g_sent.size(), 4u);
  EXPECT_EQ(g_sent[0].kind, SocketKind::kBroadcast);
  EXPECT_EQ(g_sent[0].ip, INADDR_BROADCAST);
  EXPECT_EQ(g_sent[0].bytes[kHdrSenderMac + 5], 1);
  EXPECT_EQ(g_sent[1].bytes[kHdrSenderMac + 5], 2);
  EXPECT_EQ(g_sent[2].kind, SocketKind::kGroup);
  EXPECT_EQ(g_sent[2].ip, Ip("239.255.255.100"));
  EXPECT_EQ(g_sent[3].port, 64515);
  // The caller's buffer ends up with the MAC of the last adapter.
  EXPECT_EQ(packet[kHdrSenderMac + 5], 2);
}

TEST_F(EngineTransport, SendTransferUsesTheLongerMaskAndStopsAtAHardError) {
  Reconcile(
      {Adapter(1, 7, {{"10.0.0.1", "255.0.0.0"}}), Adapter(2, 8, {{"10.2.0.1", "255.0.0.0"}})});
  const uint8_t data[4] = {0, 3, 0, 1};
  EXPECT_EQ(SendTransfer(Ip("10.2.0.9"), htons(69), data, sizeof data), 1);
  EXPECT_EQ(g_sent.size(), 2u);  // both /8 subnets hold the target
  g_sent.clear();
  SetTransferMaskOverride(Ip("255.255.0.0"));
  EXPECT_EQ(SendTransfer(Ip("10.2.0.9"), htons(69), data, sizeof data), 1);
  ASSERT_EQ(g_sent.size(), 1u);
  EXPECT_EQ(g_sent[0].kind, SocketKind::kTransfer);
  EXPECT_EQ(g_sent[0].port, 69);
  EXPECT_EQ(g_sent[0].bytes[1], 3);  // no MAC copy into TFTP bytes
  g_sent.clear();
  SetTransferMaskOverride(0);
  g_sendError = 101;  // ENETUNREACH
  EXPECT_EQ(SendTransfer(Ip("10.2.0.9"), htons(69), data, sizeof data), 0);
  EXPECT_EQ(g_sent.size(), 1u);
}

TEST_F(EngineTransport, SocketsGivenUpByTheReceiverAreNotUsedForSending) {
  Reconcile({Adapter(1, 7, {{"10.0.0.1", "255.255.255.0"}})});
  {
    std::lock_guard lock(AdapterSocketLock());
    AdapterSocketList()[0].sockets[0].unicast->CloseNow();
  }
  uint8_t packet[kPacketHeaderSize] = {};
  EXPECT_EQ(SendToAgent(Ip("10.0.0.9"), packet, sizeof packet), 0);
  EXPECT_TRUE(g_sent.empty());
}

// Loopback sockets for the receive side (nothing leaves the machine).
class LoopbackPair {
 public:
  LoopbackPair() {
    StartSockets();
    rx_ = socket(AF_INET, SOCK_DGRAM, 0);
    tx_ = socket(AF_INET, SOCK_DGRAM, 0);
    SetNonBlocking(rx_, true);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(rx_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof addr_;
    getsockname(rx_, reinterpret_cast<sockaddr*>(&addr_), &len);
  }
  ~LoopbackPair() {
    CloseSocket(tx_);
    if (IsValidSocket(rx_)) CloseSocket(rx_);
  }
  void Send(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(
        sendto(tx_, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
               reinterpret_cast<sockaddr*>(&addr_), sizeof addr_),
        static_cast<int>(bytes.size()));
  }
  SocketHandle rx() const { return rx_; }
  // Hands the receiving descriptor to a UdpSocket, which then closes it.
  SocketRef Adopt(SocketKind kind) {
    SocketRef s = std::make_shared<UdpSocket>(rx_, kind);
    rx_ = kNoSocket;
    return s;
  }

 private:
  SocketHandle rx_ = kNoSocket;
  SocketHandle tx_ = kNoSocket;
  sockaddr_in addr_{};
};

// A socket every receive from fails: a TCP listener holds no data. It reads
// as ready once a connection waits on it.
class BrokenSocket {
 public:
  BrokenSocket() {
    StartSockets();
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    SetNonBlocking(listener_, true);  // as every socket the receiver takes
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof addr_;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&addr_), &len);
    listen(listener_, 1);
  }
  ~BrokenSocket() {
    if (IsValidSocket(client_)) CloseSocket(client_);
    if (IsValidSocket(listener_)) CloseSocket(listener_);
  }
  bool MakeReady() {
    client_ = socket(AF_INET, SOCK_STREAM, 0);
    return connect(client_, reinterpret_cast<sockaddr*>(&addr_), sizeof addr_) == 0;
  }
  SocketHandle handle() const { return listener_; }
  // Hands the listener to a UdpSocket, which then closes it.
  SocketRef Adopt(SocketKind kind) {
    SocketRef s = std::make_shared<UdpSocket>(listener_, kind);
    listener_ = kNoSocket;
    return s;
  }

 private:
  SocketHandle listener_ = kNoSocket;
  SocketHandle client_ = kNoSocket;
  sockaddr_in addr_{};
};

// Empties both queues and makes the two sockets the receive thread's list.
void ReceiveOn(const SocketRef& first, const SocketRef& second) {
  PacketQueueOf().Clear();
  TransferQueueOf().Clear();
  std::lock_guard lock(ReceiveSocketLock());
  ReceiveSocketList() = {first, second};
}

std::vector<uint8_t> Datagram(uint16_t opcode, uint16_t sequence, size_t length = 40) {
  std::vector<uint8_t> d(length, 0);
  d[12] = static_cast<uint8_t>(opcode >> 8);
  d[13] = static_cast<uint8_t>(opcode);
  d[4] = 0xAA;
  d[9] = 0x55;
  d[26] = static_cast<uint8_t>(sequence >> 8);
  d[27] = static_cast<uint8_t>(sequence);
  return d;
}

std::vector<uint8_t> ReplyFrom(uint16_t opcode, uint16_t sequence, uint8_t macLast) {
  std::vector<uint8_t> d = Datagram(opcode, sequence);
  d[9] = macLast;
  return d;
}

std::vector<uint16_t> Sequences(const std::vector<std::unique_ptr<ReceivedPacket>>& records) {
  std::vector<uint16_t> out;
  for (const auto& r : records) out.push_back(r->sequence);
  return out;
}

std::vector<uint16_t> Drain(PacketQueue& queue) {
  std::vector<uint16_t> out;
  PacketQueue::Batch batch;
  queue.TryTakeAll(batch);
  for (const auto& r : batch) out.push_back(r->sequence);
  return out;
}

TEST(EngineReceive, BatchesKeepOrderReadHeaderFieldsDropEmptyAndOversizeAndFailOnErrors) {
  LoopbackPair p;
  BatchReceiver receiver;
  std::vector<std::unique_ptr<ReceivedPacket>> got;
  EXPECT_EQ(receiver.Receive(p.rx(), false, got), ReceiveResult::kNothing);
  EXPECT_TRUE(got.empty());

  // More than one batch waiting: the first call takes a full batch, the
  // next the rest, every datagram once and in arrival order. An empty and
  // an oversized datagram among them are left out.
  const uint16_t total = kReceiveBatch + 20;
  std::vector<uint16_t> want;
  for (uint16_t i = 0; i < total; ++i) {
    if (i == 5) p.Send({});
    if (i == 70) p.Send(std::vector<uint8_t>(2000, 1));
    p.Send(Datagram(6, i, 28 + i % 7));
    want.push_back(i);
  }
  EXPECT_EQ(receiver.Receive(p.rx(), false, got), ReceiveResult::kPackets);
  EXPECT_EQ(got.size(), kReceiveBatch - 1);  // the empty one took a slot
  EXPECT_EQ(receiver.Receive(p.rx(), false, got), ReceiveResult::kPackets);
  EXPECT_EQ(receiver.Receive(p.rx(), false, got), ReceiveResult::kNothing);
  EXPECT_EQ(Sequences(got), want);
  EXPECT_EQ(got[3]->opcode, 6);
  EXPECT_EQ(got[3]->agentMac[0], 0xAA);
  EXPECT_EQ(got[3]->agentMac[5], 0x55);
  EXPECT_EQ(got[3]->length, 28 + 3);
  EXPECT_EQ(got[3]->data[got[3]->length],
            0);  // the buffer's earlier, longer datagrams left nothing
  EXPECT_EQ(got[3]->sourceIp, htonl(INADDR_LOOPBACK));

  got.clear();
  p.Send(Datagram(6, 1));
  ASSERT_EQ(receiver.Receive(p.rx(), true, got), ReceiveResult::kPackets);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]->opcode, 0);  // transfer socket: header fields not read
  EXPECT_TRUE(got[0]->fromTransferSocket);

  // Records come back through the pool: one that held a long datagram and
  // then takes a short one reads as zero past it, as a fresh one would.
  got.clear();
  p.Send(std::vector<uint8_t>(1400, 0xEE));
  p.Send(std::vector<uint8_t>(900, 0xEE));
  ASSERT_EQ(receiver.Receive(p.rx(), false, got), ReceiveResult::kPackets);
  ASSERT_EQ(got.size(), 2u);
  ReceivedPacketPool().Clear();
  ReceivedPacketPool().Give(got);
  {
    BatchReceiver recycled;  // its first records are the two given back
    p.Send(Datagram(6, 1, 50));
    p.Send(Datagram(6, 2, 40));
    ASSERT_EQ(recycled.Receive(p.rx(), false, got), ReceiveResult::kPackets);
    ASSERT_EQ(got.size(), 2u);
    for (const auto& r : got) {
      EXPECT_EQ(std::count(r->data + r->length, r->data + kMaxPacketSize, 0),
                static_cast<ptrdiff_t>(kMaxPacketSize) - r->length);
    }
    EXPECT_EQ(got[1]->sequence, 2);
  }
  got.clear();

  // A real receive error fails the socket.
  BrokenSocket broken;
  EXPECT_EQ(receiver.Receive(broken.handle(), false, got), ReceiveResult::kSocketFailed);
}

void NoHandler(const ReceivedPacket&) {}

TEST(EngineReceive, DiscoveryRepliesReachTheTransferSideOnlyWhileTheirAgentIsAwaited) {
  // The router as the engine installs it, for the opcodes of this test.
  Config().magicCookie = 0;
  SetPacketDispatch(PacketDispatch{
      .routes = {{.opcode = kOpDiscoverReply,
                  .handlers = {NoHandler},
                  .transfer = NoHandler,
                  .awaited = IsRediscoveryAwaited},
                 {.opcode = kOpUpgradeReply, .handlers = {}, .transfer = NoHandler},
                 {.opcode = kOpKeepAliveReply, .handlers = {NoHandler}}},
      .drained = {},
  });
  const QueueRoute plain =
      ClassifyReceived(*MakeReceivedPacket(Datagram(kOpDiscoverReply, 1).data(), 40, 0, 0, false));
  EXPECT_TRUE(plain.packetQueue);
  EXPECT_FALSE(plain.transferQueue);
  // An opcode without a route is dropped and counted; so is a foreign cookie.
  const uint64_t unrouted = UnroutedDatagrams();
  const QueueRoute none =
      ClassifyReceived(*MakeReceivedPacket(Datagram(kOpTrap, 1).data(), 40, 0, 0, false));
  EXPECT_FALSE(none.packetQueue || none.transferQueue);
  EXPECT_EQ(UnroutedDatagrams(), unrouted + 1);
  std::vector<uint8_t> foreign = Datagram(kOpUpgradeReply, 1);
  foreign[kHdrCookie + 3] = 1;
  const QueueRoute refused =
      ClassifyReceived(*MakeReceivedPacket(foreign.data(), foreign.size(), 0, 0, false));
  EXPECT_FALSE(refused.packetQueue || refused.transferQueue);
  EXPECT_EQ(UnroutedDatagrams(), unrouted + 1);

  PacketQueue& packets = PacketQueueOf();
  PacketQueue& transfers = TransferQueueOf();
  AwaitedRediscoveries().Set({});
  LoopbackPair p;
  LoopbackPair t;
  SocketRef ps = p.Adopt(SocketKind::kUnicast);
  SocketRef ts = t.Adopt(SocketKind::kTransfer);
  ReceiveOn(ps, ts);
  Receiver receiver(ClassifyReceived);
  p.Send(ReplyFrom(kOpDiscoverReply, 7, 0x01));  // nobody awaits it
  p.Send(Datagram(kOpUpgradeReply, 8));
  p.Send(Datagram(kOpKeepAliveReply, 9));
  t.Send(Datagram(kOpDiscoverReply, 10));  // transfer socket: whatever its bytes
  Receiver::PassSummary pass = receiver.Pass(1000, packets, transfers);
  EXPECT_EQ(pass.datagrams, 4u);
  EXPECT_TRUE(pass.transferTraffic);  // never held back by the pause after a thin pass
  EXPECT_EQ(Drain(packets), (std::vector<uint16_t>{7, 9}));
  PacketQueue::Batch side;
  ASSERT_TRUE(transfers.TryTakeAll(side));
  ASSERT_EQ(side.size(), 2u);
  EXPECT_EQ(side.front()->opcode, kOpUpgradeReply);
  EXPECT_TRUE(side.back()->fromTransferSocket);

  // While an upload awaits agent ..:02, its replies (and only its) are
  // copied: two separate records, one on each side.
  AwaitedRediscoveries().Set({RediscoveryWatch::Mac{0xAA, 0, 0, 0, 0, 0x02}});
  p.Send(ReplyFrom(kOpDiscoverReply, 11, 0x01));
  p.Send(ReplyFrom(kOpDiscoverReply, 12, 0x02));
  receiver.Pass(1000, packets, transfers);
  side.clear();
  ASSERT_TRUE(transfers.TryTakeAll(side));
  ASSERT_EQ(side.size(), 1u);
  EXPECT_EQ(side.front()->sequence, 12);
  PacketQueue::Batch main;
  ASSERT_TRUE(packets.TryTakeAll(main));
  ASSERT_EQ(main.size(), 2u);
  EXPECT_EQ(main.back()->sequence, 12);
  EXPECT_NE(main.back().get(), side.front().get());
  AwaitedRediscoveries().Set({});

  // An empty datagram (a port scan) is dropped: the socket stays and goes on.
  p.Send({});
  p.Send(Datagram(kOpKeepAliveReply, 13));
  pass = receiver.Pass(1000, packets, transfers);
  EXPECT_EQ(pass.datagrams, 1u);
  EXPECT_FALSE(pass.transferTraffic);
  EXPECT_FALSE(ps->failed());
  EXPECT_EQ(Drain(packets), (std::vector<uint16_t>{13}));

  // A real receive error gives the socket up: out of the wait list, failed.
  BrokenSocket listener;
  SocketRef broken = listener.Adopt(SocketKind::kUnicast);
  {
    std::lock_guard lock(ReceiveSocketLock());
    ReceiveSocketList().push_back(broken);
  }
  ASSERT_TRUE(listener.MakeReady());
  receiver.Pass(1000, packets, transfers);
  EXPECT_TRUE(broken->failed());
  std::lock_guard lock(ReceiveSocketLock());
  EXPECT_EQ(ReceiveSocketList(), (std::vector<SocketRef>{ps, ts}));
  ReceiveSocketList().clear();
  ClearEngineHooks();
}

TEST(EngineReceive, ABurstReachesTheQueueWholeAndInOrderOverFewPasses) {
  PacketQueue& packets = PacketQueueOf();
  PacketQueue& transfers = TransferQueueOf();
  LoopbackPair a;
  LoopbackPair b;
  SocketRef as = a.Adopt(SocketKind::kBroadcast);
  SocketRef bs = b.Adopt(SocketKind::kGroup);
  ReceiveOn(as, bs);
  // Small enough for a default receive buffer: nothing is lost before the
  // passes run.
  constexpr uint16_t kBurst = 150;
  for (uint16_t i = 0; i < kBurst; ++i) {
    a.Send(ReplyFrom(kOpDiscoverReply, i, 1));
    b.Send(ReplyFrom(kOpDiscoverReply, static_cast<uint16_t>(kBurst + i), 1));
  }
  Receiver receiver;
  size_t passes = 0;
  while (packets.Size() < 2u * kBurst && passes < 20) {
    receiver.Pass(1000, packets, transfers);
    ++passes;
  }
  // Each pass takes a whole batch from each socket.
  EXPECT_LE(passes, (kBurst + kReceiveBatch - 1) / kReceiveBatch);
  EXPECT_EQ(transfers.Size(), 0u);  // no upload awaits anyone
  std::vector<uint16_t> fromA;
  std::vector<uint16_t> fromB;
  for (uint16_t s : Drain(packets)) (s < kBurst ? fromA : fromB).push_back(s);
  ASSERT_EQ(fromA.size(), kBurst);
  ASSERT_EQ(fromB.size(), kBurst);
  EXPECT_TRUE(std::is_sorted(fromA.begin(), fromA.end()));
  EXPECT_TRUE(std::is_sorted(fromB.begin(), fromB.end()));
  std::lock_guard lock(ReceiveSocketLock());
  ReceiveSocketList().clear();
}

TEST(EngineReceive, AWakeUpEndsAWaitAtOnceAndIsUsedUp) {
  PacketQueue& packets = PacketQueueOf();
  PacketQueue& transfers = TransferQueueOf();
  {
    std::lock_guard lock(ReceiveSocketLock());
    ReceiveSocketList().clear();
  }
  Receiver receiver;
  const auto start = std::chrono::steady_clock::now();
  std::thread waker([&receiver] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    receiver.Wake();
  });
  EXPECT_EQ(receiver.Pass(10000, packets, transfers).datagrams, 0u);
  waker.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // The wake-up was taken: the next wait lasts its time.
  const auto second = std::chrono::steady_clock::now();
  receiver.Pass(200, packets, transfers);
  EXPECT_GE(std::chrono::steady_clock::now() - second, std::chrono::milliseconds(150));
}

TEST(EngineReceive, QueueHandsOverBatchesInOrderAndDropsTheNewestBeyondItsCap) {
  PacketQueue queue(kRankPacketQueue, "TestQueue");
  const auto batchOf = [](uint16_t first, size_t count) {
    std::vector<std::unique_ptr<ReceivedPacket>> batch;
    for (size_t i = 0; i < count; ++i) {
      batch.push_back(std::make_unique<ReceivedPacket>());
      batch.back()->sequence = static_cast<uint16_t>(first + i);
    }
    return batch;
  };
  auto first = batchOf(0, 3);
  EXPECT_EQ(queue.AppendAll(first), 0u);
  EXPECT_TRUE(first.empty());
  queue.Append(std::move(batchOf(3, 1)[0]));
  std::atomic<bool> stop{false};
  PacketQueue::Batch taken;
  ASSERT_TRUE(queue.TakeAll(stop, taken));
  std::vector<uint16_t> order;
  for (const auto& r : taken) order.push_back(r->sequence);
  EXPECT_EQ(order, (std::vector<uint16_t>{0, 1, 2, 3}));
  EXPECT_EQ(queue.Size(), 0u);
  EXPECT_FALSE(queue.TryTakeAll(taken));

  // Filled to the cap in two batches: the second is cut, its newest go.
  auto big = batchOf(0, kMaxQueuedPackets - 10);
  EXPECT_EQ(queue.AppendAll(big), 0u);
  auto over = batchOf(1000, 25);
  EXPECT_EQ(queue.AppendAll(over), 15u);
  EXPECT_EQ(queue.Size(), kMaxQueuedPackets);
  EXPECT_EQ(queue.Dropped(), 15u);
  EXPECT_EQ(queue.TryTake()->sequence, 0);
  taken.clear();
  ASSERT_TRUE(queue.TryTakeAll(taken));
  EXPECT_EQ(taken.back()->sequence, 1009);
  // A stopping consumer is not held by an empty queue.
  stop = true;
  queue.Wake();
  EXPECT_FALSE(queue.TakeAll(stop, taken));
}

TEST(EngineIgmp, ReportCarriesTypeGroupAndAValidChecksum) {
  const uint8_t rfcExample[8] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
  EXPECT_EQ(InternetChecksum(rfcExample, 8), static_cast<uint16_t>(~0xddf2));
  const auto r = BuildIgmpV1Report(inet_addr("239.255.255.100"));
  EXPECT_EQ(r[0], 0x12);
  EXPECT_EQ(r[1], 0);
  EXPECT_EQ(r[4], 239);
  EXPECT_EQ(r[7], 100);
  EXPECT_EQ(InternetChecksum(r.data(), r.size()), 0);  // a valid sum checks to zero
}

#ifdef _WIN32
// The neighbour table as the fakes saw it: each call's row, in order.
struct NeighbourCall {
  bool create;
  MIB_IPNETROW row;
};
std::vector<NeighbourCall> g_neighbourCalls;
DWORD g_createResult = NO_ERROR;
DWORD g_removeResult = NO_ERROR;
DWORD WINAPI FakeCreate(PMIB_IPNETROW row) {
  g_neighbourCalls.push_back({true, *row});
  return g_createResult;
}
DWORD WINAPI FakeRemove(PMIB_IPNETROW row) {
  g_neighbourCalls.push_back({false, *row});
  return g_removeResult;
}

TEST(EngineArp, EntriesAreStaticOnEachAdapterSetsInterfaceAndReplaceAnOldOne) {
  const NeighbourTableCalls saved = NeighbourTable();
  NeighbourTable() = {FakeCreate, FakeRemove};
  {
    std::lock_guard lock(AdapterSocketLock());
    for (const uint32_t ifIndex : {7u, 12u}) {
      AdapterSocketSet set;
      set.ifIndex = ifIndex;
      AdapterSocketList().push_back(std::move(set));
    }
  }
  const uint32_t ip = htonl(0xC0A8010Au);  // 192.168.1.10
  const uint8_t mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};

  EXPECT_EQ(SetStaticArpAll(ip, mac), 1);
  ASSERT_EQ(g_neighbourCalls.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    const NeighbourCall& c = g_neighbourCalls[i];
    // An existing entry makes a creation fail: each interface's is removed first.
    EXPECT_EQ(c.create, i % 2 == 1);
    EXPECT_EQ(c.row.dwIndex, i < 2 ? 7u : 12u);
    EXPECT_EQ(c.row.dwAddr, ip);  // network order, as the table keeps it
    if (c.create) {
      EXPECT_EQ(c.row.dwType, static_cast<DWORD>(MIB_IPNET_TYPE_STATIC));
      EXPECT_EQ(c.row.dwPhysAddrLen, 6u);
      EXPECT_EQ(std::memcmp(c.row.bPhysAddr, mac, 6), 0);
    }
  }
  // No entry made anywhere (e.g. without administrator rights) is told as such.
  g_createResult = ERROR_ACCESS_DENIED;
  EXPECT_EQ(SetStaticArpAll(ip, mac), 0);
  EXPECT_EQ(SetStaticArpAll(ip, nullptr), 0);

  g_neighbourCalls.clear();
  g_removeResult = ERROR_NOT_FOUND;
  EXPECT_EQ(DeleteArpAll(ip), 0);
  g_removeResult = NO_ERROR;
  EXPECT_EQ(DeleteArpAll(ip), 1);
  ASSERT_EQ(g_neighbourCalls.size(), 4u);
  EXPECT_FALSE(g_neighbourCalls[3].create);
  EXPECT_EQ(g_neighbourCalls[3].row.dwIndex, 12u);

  NeighbourTable() = saved;
  g_createResult = NO_ERROR;
  g_neighbourCalls.clear();
  std::lock_guard lock(AdapterSocketLock());
  AdapterSocketList().clear();
}
#endif

}  // namespace
}  // namespace ferro
