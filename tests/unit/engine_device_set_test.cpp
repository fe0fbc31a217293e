// Settings commands and the device-set list on a manual clock, with sockets
// that open nothing and a recorder in place of the system's sendto.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/agent_commands.h"
#include "engine/device_set.h"
#include "engine/discovery.h"
#include "engine/engine_config.h"
#include "engine/engine_state.h"
#include "engine/notices.h"
#include "net/adapters.h"
#include "net/transport.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "protocol/packet.h"

namespace ferro {
namespace {

class FakeOpener : public SocketOpener {
 public:
  SocketRef Open(SocketKind kind, uint32_t, const AdapterSocketSet&) override {
    return std::make_shared<UdpSocket>(-1, kind);
  }
};

struct Sent {
  SocketKind kind;
  uint32_t ip;
  uint16_t port;
  std::vector<uint8_t> bytes;
  bool registered;  // the matching ActionEntry was in the list at send time
};
std::vector<Sent> g_sent;

// Called from inside the send (AdapterSocketLock held, so ActionListLock may
// not be taken); the test runs on one thread, so reading without it is safe.
bool Registered(uint16_t sequence) {
  for (const auto& e : ActionList()) {
    if (e->sequence == sequence) return true;
  }
  return false;
}

int Record(const UdpSocket& s, uint32_t ip, uint16_t port, const uint8_t* data, size_t n) {
  const bool registered = Registered(PacketU16(data, n, kHdrSequence));
  g_sent.push_back(Sent{s.kind(), ip, port, std::vector<uint8_t>(data, data + n), registered});
  return 0;
}

std::vector<std::string> g_notices;
int CountNotice(std::string_view text) {
  g_notices.emplace_back(text);
  return 0;
}

uint32_t Ip(const char* text) { return inet_addr(text); }

AgentRecord Agent(uint8_t macLast, const char* ip = "10.0.0.20") {
  AgentRecord r{};
  const uint8_t mac[kMacSize] = {0x02, 0x46, 0x4C, 0, 0, macLast};
  std::memcpy(r.macAddr, mac, kMacSize);
  const uint32_t address = Ip(ip);
  std::memcpy(r.agentIpAddr, &address, 4);
  std::strcpy(r.systemName, "before");
  r.funBitmap0 = 0x3F;  // product, names, location, address, netmask, gateway
  return r;
}

// A command reply from `mac` for `sequence` with the agent's new name.
std::vector<uint8_t> Reply(uint16_t opcode, uint16_t sequence, const AgentRecord& agent,
                           uint16_t result, const char* name = "after") {
  std::vector<uint8_t> b(kMaxPacketSize, 0);
  BuildPacketHeader(opcode, b.data());
  SetPacketAgentMac(b.data(), agent.macAddr);
  SetPacketSequence(b.data(), sequence);
  StoreBe16(b.data() + kHdrResult, result);
  TlvWriter w(b.data());
  w.Put(2, name, std::strlen(name));
  w.PutAddress(4, agent.agentIpAddr);
  b.resize(w.end());
  return b;
}

void Deliver(const std::vector<uint8_t>& bytes) {
  auto p = MakeReceivedPacket(bytes.data(), bytes.size(), Ip("10.0.0.20"), 64515, false);
  HandleCommandReply(*p);
}

std::vector<std::pair<uint16_t, std::vector<uint8_t>>> Items(const std::vector<uint8_t>& d) {
  std::vector<std::pair<uint16_t, std::vector<uint8_t>>> items;
  for (size_t pos = kPacketHeaderSize; pos + 4 <= d.size();) {
    const uint16_t len = LoadBe16(&d[pos + 2]);
    if (len < 4 || pos + len > d.size()) break;
    items.emplace_back(LoadBe16(&d[pos]), std::vector<uint8_t>(&d[pos + 4], &d[pos + len]));
    pos += len;
  }
  return items;
}

class EngineDeviceSet : public ::testing::Test {
 protected:
  void SetUp() override {
    SetTickSource(&clock_);
    Config().magicCookie = 0;
    savedPort_ = Config().AgentPort.load();
    Config().AgentPort = 64515;
    Config().multicastGroup = Ip("239.255.255.100");
    SetDatagramSender(Record);
    SetNoticeSink(CountNotice);
    g_sent.clear();
    g_notices.clear();
    ClearOperateNodes();
    ClearDiscoveryList();
    ClearActions();
  }
  void TearDown() override {
    CloseAllSockets();
    SetDatagramSender(nullptr);
    SetNoticeSink(nullptr);
    ClearOperateNodes();
    ClearDiscoveryList();
    ClearActions();
    Config().AgentPort = savedPort_;
    SetTickSource(nullptr);
  }
  static void ClearActions() {
    std::lock_guard lock(ActionListLock());
    ActionList().clear();
  }
  void OneAdapter() {
    AdapterEntry a;
    a.mac = {0x02, 0, 0, 0, 0, 0x01, 0, 0};
    a.macLength = 6;
    a.ifIndex = 3;
    a.ifName = "test3";
    a.ipList.push_back(IpEntry{Ip("10.0.0.1"), Ip("255.255.255.0"), false});
    std::vector<AdapterEntry> adapters{a};
    ReconcileAdapters(adapters, opener_);
  }
  std::vector<OperateNode> Collect() {
    std::vector<OperateNode> out;
    EXPECT_EQ(GetOperateResult(out), 1);
    return out;
  }

  ManualTickSource clock_{500000};
  FakeOpener opener_;
  uint16_t savedPort_ = 0;
};

TEST(AgentCommandOpcodes, ByAddressingModeAndLoaderMode) {
  AgentRecord a{};
  using C = AgentCommand;
  struct Case {
    C command;
    int unicast;
    uint16_t request, reply;
  };
  for (const Case& c :
       {Case{C::kSetCfg, 0, 3, 4}, Case{C::kSetCfg, 1, 7, 8}, Case{C::kSetPassword, 0, 3, 4},
        Case{C::kSetPassword, 1, 7, 8}, Case{C::kSetCfgNoAddress, 0, 3, 4},
        Case{C::kSetCfgNoAddress, 1, 7, 8}, Case{C::kSetRestoreDefault, 0, 17, 18},
        Case{C::kSetRestoreDefault, 1, 17, 18}}) {
    const CommandOpcodes op = SelectCommandOpcodes(c.command, a, c.unicast);
    EXPECT_EQ(op.request, c.request);
    EXPECT_EQ(op.reply, c.reply);
  }
  // Loader mode with interface version 4, or with the loader-command bit:
  // opcode 14 for every command, restore included.
  AgentRecord v4{};
  v4.isLoaderMode = 1;
  v4.agentInterfaceVer = 4;
  AgentRecord bit31{};
  bit31.isLoaderMode = 1;
  bit31.funBitmap0 = 0x80000000u;
  for (const AgentRecord& r : {v4, bit31}) {
    for (C c : {C::kSetCfg, C::kSetPassword, C::kSetCfgNoAddress, C::kSetRestoreDefault}) {
      for (int unicast : {0, 1}) {
        const CommandOpcodes op = SelectCommandOpcodes(c, r, unicast);
        EXPECT_EQ(op.request, kOpLoaderCommand);
        EXPECT_EQ(op.reply, kOpLoaderCommandReply);
      }
    }
  }
  // Loader mode alone, or the markers without loader mode: the table's opcodes.
  AgentRecord loaderOnly{};
  loaderOnly.isLoaderMode = 1;
  loaderOnly.agentInterfaceVer = 2;
  AgentRecord notLoader = v4;
  notLoader.isLoaderMode = 0;
  notLoader.funBitmap0 = 0x80000000u;
  for (const AgentRecord& r : {loaderOnly, notLoader}) {
    EXPECT_EQ(SelectCommandOpcodes(C::kSetCfg, r, 0).request, kOpSetByMac);
    EXPECT_EQ(SelectCommandOpcodes(C::kSetRestoreDefault, r, 1).request, kOpRestoreDefault);
  }
}

TEST(AgentCommandPackets, HeaderAndBodies) {
  AgentRecord a = Agent(7);
  a.funBitmap0 |= 1u << 7 | 1u << 8;  // both password items
  std::strcpy(a.oldPassword, "old");
  uint8_t p[kMaxPacketSize] = {};
  const size_t n = BuildAgentCommand(AgentCommand::kSetPassword, a, 0, 0x1234, p);
  const PacketHeader h = ParsePacketHeader(p, n);
  EXPECT_EQ(h.opcode, kOpSetByMac);
  EXPECT_EQ(h.sequence, 0x1234);
  EXPECT_EQ(h.protoVer, 2);
  EXPECT_EQ(std::memcmp(h.agentMac, a.macAddr, kMacSize), 0);
  // Old password, then an empty new password as an item of length 4.
  const uint8_t body[] = {0, 9, 0, 7, 'o', 'l', 'd', 0, 8, 0, 4};
  ASSERT_EQ(n, kPacketHeaderSize + sizeof body);
  EXPECT_EQ(std::memcmp(p + kPacketHeaderSize, body, sizeof body), 0);

  // DHCP: the configuration goes out exactly as without address items, with
  // zero addresses; static: the record's addresses; restore: the same body.
  auto build = [](AgentCommand c, const AgentRecord& r) {
    std::vector<uint8_t> b(kMaxPacketSize, 0);
    b.resize(BuildAgentCommand(c, r, 1, 9, b.data()));
    return b;
  };
  AgentRecord dhcp = a;
  dhcp.dhcpMode = 1;
  EXPECT_EQ(build(AgentCommand::kSetCfg, dhcp), build(AgentCommand::kSetCfgNoAddress, a));
  const auto items = Items(build(AgentCommand::kSetCfgNoAddress, a));
  const std::vector<uint8_t> zero(4, 0);
  int addresses = 0;
  for (const auto& [type, value] : items) {
    if (type >= 4 && type <= 6) {
      EXPECT_EQ(value, zero) << type;
      ++addresses;
    }
  }
  EXPECT_EQ(addresses, 3);
  const auto staticItems = Items(build(AgentCommand::kSetCfg, a));
  ASSERT_GE(staticItems.size(), 5u);
  EXPECT_EQ(staticItems[4].first, 4);
  EXPECT_EQ(std::memcmp(staticItems[4].second.data(), a.agentIpAddr, 4), 0);
  auto restore = build(AgentCommand::kSetRestoreDefault, a);
  auto cfg = build(AgentCommand::kSetCfg, a);
  EXPECT_EQ(LoadBe16(&restore[kHdrOpcode]), kOpRestoreDefault);
  EXPECT_TRUE(std::equal(restore.begin() + kPacketHeaderSize, restore.end(),
                         cfg.begin() + kPacketHeaderSize, cfg.end()));
}

TEST_F(EngineDeviceSet, CommandIsRegisteredBeforeItLeavesByMacOrByAddress) {
  OneAdapter();
  const AgentRecord a = Agent(1);
  ASSERT_EQ(SetCfgToAgent(a, 0, nullptr, nullptr), 1);
  // By MAC: the broadcast and the multicast copy, both already registered.
  ASSERT_EQ(g_sent.size(), 2u);
  for (const Sent& s : g_sent) {
    EXPECT_TRUE(s.registered);
    EXPECT_EQ(s.port, 64515);
    EXPECT_EQ(LoadBe16(&s.bytes[kHdrOpcode]), kOpSetByMac);
  }
  EXPECT_EQ(g_sent[0].ip, Ip("255.255.255.255"));
  EXPECT_EQ(g_sent[1].ip, Ip("239.255.255.100"));
  const uint16_t first = LoadBe16(&g_sent[0].bytes[kHdrSequence]);

  // By address: one datagram to the agent, and the next sequence number.
  g_sent.clear();
  ASSERT_EQ(SetRestoreDefaultToAgent(a, 1, nullptr, nullptr), 1);
  ASSERT_EQ(g_sent.size(), 1u);
  EXPECT_TRUE(g_sent[0].registered);
  EXPECT_EQ(g_sent[0].ip, Ip("10.0.0.20"));
  EXPECT_EQ(LoadBe16(&g_sent[0].bytes[kHdrOpcode]), kOpRestoreDefault);
  EXPECT_EQ(LoadBe16(&g_sent[0].bytes[kHdrSequence]), static_cast<uint16_t>(first + 1));

  std::lock_guard lock(ActionListLock());
  ASSERT_EQ(ActionList().size(), 2u);
  const ActionEntry& e = *ActionList().back();
  EXPECT_EQ(e.requestOpcode, kOpRestoreDefault);
  EXPECT_EQ(e.replyOpcode, kOpRestoreDefaultReply);
  EXPECT_EQ(e.timeoutMs, kCommandTimeoutMs);
  EXPECT_EQ(std::memcmp(e.agentMac.data(), a.macAddr, kMacSize), 0);
}

TEST_F(EngineDeviceSet, WithoutSocketsNothingIsSentYetTheOperationEndsTimedOut) {
  ASSERT_EQ(StartDeviceSet(Agent(1), kOperateSetCfg, 0), 0);
  EXPECT_TRUE(g_sent.empty());
  EXPECT_EQ(OperateNodeCount(), 1u);
  EXPECT_TRUE(Collect().empty());  // still pending
  clock_.Advance(kDeviceSetTimeoutMs + 1);
  CheckDeviceSetTimeouts();
  const auto done = Collect();
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].result, kOperateTimedOut);
}

TEST_F(EngineDeviceSet, UnknownOperateSendsNothingAndTimesOutAfterFiftySeconds) {
  OneAdapter();
  EXPECT_EQ(StartDeviceSet(Agent(1), 7, 0), 0);
  EXPECT_TRUE(g_sent.empty());
  // Exactly 50 s is not yet a time-out; one tick more is.
  clock_.Advance(kDeviceSetTimeoutMs);
  CheckDeviceSetTimeouts();
  EXPECT_TRUE(g_notices.empty());
  EXPECT_TRUE(Collect().empty());
  clock_.Advance(1);
  CheckDeviceSetTimeouts();
  CheckDeviceSetTimeouts();  // a timed-out node is final: no second notice
  EXPECT_EQ(g_notices, std::vector<std::string>{"device_set"});
  const auto done = Collect();
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].operate, 7);
  EXPECT_EQ(done[0].result, kOperateTimedOut);
  EXPECT_STREQ(done[0].agent.systemName, "before");
  EXPECT_TRUE(Collect().empty());  // handed out once
}

TEST_F(EngineDeviceSet, TimeOutAcrossTheTickCounterWrap) {
  clock_.Set(0xFFFFFFFFu - 100);
  StartDeviceSet(Agent(1), 9, 0);
  clock_.Advance(kDeviceSetTimeoutMs - 1);  // wraps past zero
  CheckDeviceSetTimeouts();
  EXPECT_EQ(OperateNodeCount(), 1u);
  EXPECT_TRUE(Collect().empty());
  clock_.Advance(2);
  CheckDeviceSetTimeouts();
  ASSERT_EQ(Collect().size(), 1u);
}

TEST_F(EngineDeviceSet, OneReplyCompletesEveryPendingOperationOfItsAgent) {
  OneAdapter();
  AgentRecord a = Agent(1);
  AddToDiscoveryList(a);
  AddToDiscoveryList(Agent(2));
  ASSERT_EQ(StartDeviceSet(a, kOperateSetCfg, 0), 1);
  const uint16_t firstSeq = LoadBe16(&g_sent[0].bytes[kHdrSequence]);
  ASSERT_EQ(StartDeviceSet(Agent(2), kOperateSetCfg, 0), 1);
  const uint16_t secondSeq = LoadBe16(&g_sent.back().bytes[kHdrSequence]);
  ASSERT_EQ(StartDeviceSet(a, kOperateRestoreDefault, 1), 1);
  const uint16_t restoreSeq = LoadBe16(&g_sent.back().bytes[kHdrSequence]);

  // A reply from another MAC for the first request: nothing happens.
  Deliver(Reply(kOpSetByMacReply, firstSeq, Agent(2), 0));
  EXPECT_TRUE(g_notices.empty());
  EXPECT_TRUE(Collect().empty());

  // The restore's reply finishes both of agent 1's operations.
  Deliver(Reply(kOpRestoreDefaultReply, restoreSeq, a, 513));
  EXPECT_EQ(g_notices, (std::vector<std::string>{"device_set", "device_set"}));
  const auto done = Collect();
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[0].operate, kOperateSetCfg);
  EXPECT_EQ(done[1].operate, kOperateRestoreDefault);
  for (const OperateNode& n : done) {
    EXPECT_EQ(n.result, 513);
    EXPECT_STREQ(n.agent.systemName, "after");  // the record the agent reported
    EXPECT_EQ(std::memcmp(n.agent.macAddr, a.macAddr, kMacSize), 0);
  }
  // The discovered record now shows what the agent reported.
  std::vector<AgentRecord> discovered;
  CopyDiscoveryList(discovered);
  ASSERT_EQ(discovered.size(), 2u);
  EXPECT_STREQ(discovered[0].systemName, "after");
  EXPECT_STREQ(discovered[1].systemName, "before");
  // Agent 2's operation is still pending and keeps its place.
  EXPECT_EQ(OperateNodeCount(), 1u);

  // A reply that is a bare header finishes agent 2's operation but blanks
  // neither its outcome nor its discovered record.
  std::vector<uint8_t> bare = Reply(kOpSetByMacReply, secondSeq, Agent(2), 7);
  bare.resize(kPacketHeaderSize);
  Deliver(bare);
  const auto second = Collect();
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].result, 7);
  EXPECT_STREQ(second[0].agent.systemName, "before");
  EXPECT_EQ(second[0].agent.funBitmap0, 0x3Fu);
  discovered.clear();
  CopyDiscoveryList(discovered);
  EXPECT_STREQ(discovered[1].systemName, "before");
  EXPECT_EQ(std::memcmp(discovered[1].agentIpAddr, Agent(2).agentIpAddr, 4), 0);
}

TEST_F(EngineDeviceSet, LateOrRepeatedRepliesChangeNothing) {
  OneAdapter();
  const AgentRecord a = Agent(1);
  ASSERT_EQ(StartDeviceSet(a, kOperateSetCfg, 1), 1);
  const uint16_t seq = LoadBe16(&g_sent[0].bytes[kHdrSequence]);
  clock_.Advance(kDeviceSetTimeoutMs + 1);
  CheckDeviceSetTimeouts();
  g_notices.clear();
  // Arriving after the time-out, the reply is dropped by the matching...
  Deliver(Reply(kOpSetByIpReply, seq, a, 0));
  // ...and even handed straight to the callback it leaves -2 in place.
  const auto direct = Reply(kOpSetByIpReply, seq, a, 0);
  DevSetCallback(direct.data(), static_cast<int32_t>(direct.size()), nullptr);
  EXPECT_TRUE(g_notices.empty());
  const auto done = Collect();
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].result, kOperateTimedOut);
  EXPECT_STREQ(done[0].agent.systemName, "before");
}

TEST_F(EngineDeviceSet, ResultsComeOutInStartOrderAndPendingOnesKeepTheirPlace) {
  // Operations 1 to 5 started 1 s apart; 1 and 4 answered, 2 timed out.
  const uint32_t t0 = clock_.Now();
  for (uint8_t m = 1; m <= 5; ++m) {
    AddOperateNode(Agent(m), m);
    clock_.Advance(1000);
  }
  for (uint8_t m : {uint8_t{1}, uint8_t{4}}) {
    const auto r = Reply(kOpSetByMacReply, 1, Agent(m), m);
    DevSetCallback(r.data(), static_cast<int32_t>(r.size()), nullptr);
  }
  clock_.Set(t0 + 1000 + kDeviceSetTimeoutMs + 1);  // past 2's limit, not 3's
  CheckDeviceSetTimeouts();
  auto done = Collect();
  ASSERT_EQ(done.size(), 3u);
  EXPECT_EQ(done[0].operate, 1);
  EXPECT_EQ(done[0].result, 1);
  EXPECT_EQ(done[1].operate, 2);
  EXPECT_EQ(done[1].result, kOperateTimedOut);
  EXPECT_EQ(done[2].operate, 4);
  EXPECT_EQ(done[2].result, 4);
  EXPECT_EQ(OperateNodeCount(), 2u);
  clock_.Advance(3000);
  CheckDeviceSetTimeouts();
  done = Collect();
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[0].operate, 3);
  EXPECT_EQ(done[1].operate, 5);
  EXPECT_EQ(OperateNodeCount(), 0u);
}

TEST_F(EngineDeviceSet, AFullListRefusesNewOperationsOnlyWhileAllWait) {
  OneAdapter();
  const AgentRecord a = Agent(1);
  for (size_t i = 0; i < kMaxOperateNodes; ++i) ASSERT_EQ(AddOperateNode(a, 7), 1);
  EXPECT_EQ(StartDeviceSet(a, kOperateSetCfg, 0), 0);
  EXPECT_TRUE(g_sent.empty());
  EXPECT_EQ(OperateNodeCount(), kMaxOperateNodes);
  // Finished operations nobody collected make room, the oldest first: a
  // client reading outcomes elsewhere never blocks new changes.
  clock_.Advance(kDeviceSetTimeoutMs + 1);
  CheckDeviceSetTimeouts();
  EXPECT_EQ(StartDeviceSet(a, kOperateSetCfg, 0), 1);
  EXPECT_EQ(AddOperateNode(Agent(2), 5), 1);
  EXPECT_EQ(OperateNodeCount(), kMaxOperateNodes);
  const auto done = Collect();
  EXPECT_EQ(done.size(), kMaxOperateNodes - 2);
  EXPECT_EQ(OperateNodeCount(), 2u);  // the two new ones, still waiting
}

}  // namespace
}  // namespace ferro
