// Matching of replies to pending requests, the watched agents' keep-alive
// accounting and the trap records, on a manual clock and without a network.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/discovery.h"
#include "engine/engine.h"
#include "engine/engine_config.h"
#include "engine/engine_state.h"
#include "engine/monitoring.h"
#include "engine/notices.h"
#include "engine/traps.h"
#include "net/adapters.h"
#include "net/packet_queue.h"
#include "platform/tick.h"
#include "protocol/agent_decoder.h"
#include "protocol/packet.h"
#include "protocol/tlv.h"

namespace ferro {
namespace {

struct Mac {
  uint8_t b[kMacSize];
};
constexpr Mac kMacA{{0x02, 0, 0, 0, 0, 0x0A}};
constexpr Mac kMacB{{0x02, 0, 0, 0, 0, 0x0B}};

// A reply datagram as the receive thread would queue it.
std::unique_ptr<ReceivedPacket> Reply(uint16_t opcode, uint16_t sequence, const Mac& mac,
                                      uint32_t source_ip = 0x0100000A, uint32_t cookie = 0,
                                      size_t item_bytes = 8) {
  uint8_t bytes[kMaxPacketSize] = {};
  BuildPacketHeader(opcode, cookie, bytes);
  SetPacketSequence(bytes, sequence);
  SetPacketAgentMac(bytes, mac.b);
  // Item 4 (the agent's address) so that the decoder has something to keep.
  const uint8_t item[] = {0, 4, 0, 8, 10, 0, 0, 1};
  std::memcpy(bytes + kPacketHeaderSize, item, sizeof item);
  return MakeReceivedPacket(bytes, kPacketHeaderSize + item_bytes, source_ip, 64515, false);
}

int g_calls = 0;
int32_t CountingCallback(const uint8_t*, int32_t, void*) { return ++g_calls; }

class EngineMatching : public ::testing::Test {
 protected:
  void SetUp() override {
    SetTickSource(&clock_);
    Config().magicCookie = 0;
    Config().monitorPollingIntervalMs = 15000;
    {
      std::lock_guard lock(ActionListLock());
      ActionList().clear();
    }
    ClearDiscoveryList();
    ClearWatchedAgents();
    g_calls = 0;
  }
  void TearDown() override {
    {
      std::lock_guard lock(ActionListLock());
      ActionList().clear();
    }
    ClearDiscoveryList();
    ClearWatchedAgents();
    SetTickSource(nullptr);
  }

  // Registers a command awaiting `reply` from `mac`, as the agent commands do.
  void RegisterCommand(uint16_t sequence, uint16_t request, uint16_t reply, const Mac& mac,
                       uint32_t timeout = kCommandTimeoutMs) {
    auto entry = std::make_unique<ActionEntry>();
    entry->timeoutMs = timeout;
    entry->requestOpcode = request;
    entry->replyOpcode = reply;
    entry->sequence = sequence;
    std::memcpy(entry->agentMac.data(), mac.b, kMacSize);
    entry->callback = CountingCallback;
    RegisterAction(std::move(entry));
  }

  void RegisterDiscovery(uint16_t sequence) {
    RegisterAction(MakeDiscoveryEntry(sequence, DiscoveryCallback, nullptr));
  }

  size_t Pending() {
    std::lock_guard lock(ActionListLock());
    return ActionList().size();
  }

  ManualTickSource clock_{100000};
};

TEST_F(EngineMatching, DiscoveryRepliesCountOncePerAgentWithinTheWindow) {
  RegisterDiscovery(7);
  HandleDiscoveryReply(*Reply(kOpDiscoverReply, 7, kMacA));
  HandleDiscoveryReply(*Reply(kOpDiscoverReply, 7, kMacA));        // the multicast copy
  HandleDiscoveryReply(*Reply(kOpLoaderDiscoverReply, 7, kMacB));  // loader mode
  HandleDiscoveryReply(*Reply(kOpDiscoverReply, 8, kMacB));        // other sequence
  HandleDiscoveryReply(*Reply(kOpKeepAliveReply, 7, kMacB));       // other opcode
  // A foreign cookie stops it at the router.
  SetPacketDispatch(PacketDispatch{
      .routes = {{.opcode = kOpDiscoverReply, .handlers = {HandleDiscoveryReply}}}, .drained = {}});
  const auto foreign = Reply(kOpDiscoverReply, 7, kMacB, 0x0100000A, 0xBAD);
  if (ClassifyReceived(*foreign).packetQueue) HandleDiscoveryReply(*foreign);
  ClearEngineHooks();
  // An item cut by the end of the datagram: malformed, counted, not listed.
  const uint64_t overruns = MalformedPacketCount(DecodeOutcome::kItemOverrun);
  HandleDiscoveryReply(*Reply(kOpDiscoverReply, 7, Mac{{2, 0, 0, 0, 0, 0x0C}}, 0x0100000A, 0, 6));
  EXPECT_EQ(MalformedPacketCount(DecodeOutcome::kItemOverrun), overruns + 1);
  std::vector<AgentRecord> found;
  CopyDiscoveryList(found);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].macAddr[5], 0x0A);
  EXPECT_EQ(found[1].macAddr[5], 0x0B);
  EXPECT_EQ(found[1].isLoaderMode, 1);
  EXPECT_EQ(Pending(), 1u);  // a discovery entry stays for further agents

  // At exactly the time-out the reply is late: dropped, and the entry with it.
  clock_.Advance(kDiscoveryTimeoutMs);
  HandleDiscoveryReply(*Reply(kOpDiscoverReply, 7, Mac{{2, 0, 0, 0, 0, 0x0D}}));
  EXPECT_EQ(Pending(), 0u);
  EXPECT_EQ(DiscoveryListSize(), 2u);
  // Judged by the receive tick, not by when it is processed.
  RegisterDiscovery(9);
  clock_.Advance(kDiscoveryTimeoutMs);
  auto queued = Reply(kOpDiscoverReply, 9, kMacA);
  queued->rxTick = clock_.Now() - kDiscoveryTimeoutMs + 1;
  HandleDiscoveryReply(*queued);
  EXPECT_EQ(DiscoveryListSize(), 3u);
}

TEST_F(EngineMatching, OneDiscoveryTakesAtMost65536AgentsWhateverAHostMakesUp) {
  RegisterDiscovery(11);
  // A flood of replies with the right sequence, each with a MAC of its own.
  for (uint32_t i = 0; i < kMaxDiscoveryAgents + 100; ++i) {
    const Mac made_up{{0x02, 0xFD, static_cast<uint8_t>(i >> 24), static_cast<uint8_t>(i >> 16),
                       static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)}};
    HandleDiscoveryReply(*Reply(kOpDiscoverReply, 11, made_up));
  }
  EXPECT_EQ(DiscoveryListSize(), kMaxDiscoveryAgents);
  {
    std::lock_guard lock(ActionListLock());
    ASSERT_EQ(ActionList().size(), 1u);
    EXPECT_EQ(ActionList().front()->responders.size(), kMaxDiscoveryAgents);
    EXPECT_EQ(ActionList().front()->refusedResponders, 100u);
  }
  // The list itself is bounded too (an agent put back after watching).
  AgentRecord extra{};
  AddToDiscoveryList(extra);
  EXPECT_EQ(DiscoveryListSize(), kMaxDiscoveryAgents);
  ClearDiscoveryList();
  EXPECT_EQ(DiscoveryListSize(), 0u);
  AddToDiscoveryList(extra);
  EXPECT_EQ(DiscoveryListSize(), 1u);
}

TEST_F(EngineMatching, CommandCompletesOnlyByItsAgentsFirstReply) {
  RegisterCommand(20, kOpSetByMac, kOpSetByMacReply, kMacA);
  HandleCommandReply(*Reply(kOpSetByMacReply, 20, kMacB));  // another agent: keep waiting
  HandleCommandReply(*Reply(kOpSetByIpReply, 20, kMacA));   // wrong opcode
  EXPECT_EQ(g_calls, 0);
  EXPECT_EQ(Pending(), 1u);
  HandleCommandReply(*Reply(kOpSetByMacReply, 20, kMacA));
  EXPECT_EQ(g_calls, 1);
  EXPECT_EQ(Pending(), 0u);
  HandleCommandReply(*Reply(kOpSetByMacReply, 20, kMacA));  // repeat: nothing pending
  EXPECT_EQ(g_calls, 1);

  // The alternative reply opcode is a discovery matter only.
  auto entry = std::make_unique<ActionEntry>();
  entry->sequence = 21;
  entry->timeoutMs = kCommandTimeoutMs;
  entry->replyOpcode = kOpSetByMacReply;
  entry->altReplyOpcode = kOpLoaderCommandReply;
  std::memcpy(entry->agentMac.data(), kMacA.b, kMacSize);
  entry->callback = CountingCallback;
  RegisterAction(std::move(entry));
  HandleCommandReply(*Reply(kOpLoaderCommandReply, 21, kMacA));
  EXPECT_EQ(g_calls, 1);

  // A reply at the time-out finds the entry expired and removes it silently.
  clock_.Advance(kCommandTimeoutMs);
  HandleCommandReply(*Reply(kOpSetByMacReply, 21, kMacA));
  EXPECT_EQ(g_calls, 1);
  EXPECT_EQ(Pending(), 0u);
}

TEST_F(EngineMatching, CancelledEntriesAreMatchedButNotCalled) {
  RegisterCommand(30, kOpRestoreDefault, kOpRestoreDefaultReply, kMacA);
  {
    std::lock_guard lock(ActionListLock());
    ActionList().back()->cancelled = 1;
  }
  HandleCommandReply(*Reply(kOpRestoreDefaultReply, 30, kMacA));
  EXPECT_EQ(g_calls, 0);
  EXPECT_EQ(Pending(), 0u);
}

TEST_F(EngineMatching, ExpiryKeepsKeepAliveEntriesAndYoungOnes) {
  RegisterCommand(1, kOpSetByMac, kOpSetByMacReply, kMacA, 1000);
  RegisterCommand(2, kOpKeepAlive, kOpKeepAliveReply, kMacA, 1000);
  RegisterCommand(3, kOpSetByIp, kOpSetByIpReply, kMacA, 1001);
  clock_.Advance(999);
  ExpireActions();
  EXPECT_EQ(Pending(), 3u);
  clock_.Advance(1);  // exactly timeoutMs for the first two
  ExpireActions();
  EXPECT_EQ(Pending(), 2u);
  clock_.Advance(1000000);
  ExpireActions();
  EXPECT_EQ(Pending(), 1u);  // the keep-alive entry is never expired
}

TEST_F(EngineMatching, TickWrapDoesNotExpireEarly) {
  clock_.Set(0xFFFFFF00u);
  RegisterCommand(5, kOpSetByMac, kOpSetByMacReply, kMacA, 1000);
  clock_.Advance(0x200);  // wraps past zero; 512 ms elapsed
  ExpireActions();
  EXPECT_EQ(Pending(), 1u);
  HandleCommandReply(*Reply(kOpSetByMacReply, 5, kMacA));
  EXPECT_EQ(g_calls, 1);
}

TEST_F(EngineMatching, DiscoveryListOperations) {
  AgentRecord a{}, b{};
  std::memcpy(a.macAddr, kMacA.b, kMacSize);
  std::memcpy(b.macAddr, kMacB.b, kMacSize);
  a.agentIpAddr[3] = 1;
  b.agentIpAddr[3] = 2;
  std::strcpy(b.systemName, "kept");
  b.dhcpMode = 1;
  AddToDiscoveryList(a);
  AddToDiscoveryList(b);
  AddToDiscoveryList(a);
  AgentRecord other_ip = a;
  other_ip.agentIpAddr[3] = 9;
  RemoveFromDiscoveryList(other_ip);  // needs address and MAC
  EXPECT_EQ(DiscoveryListSize(), 3u);
  RemoveFromDiscoveryList(a);  // every entry of that pair
  EXPECT_EQ(DiscoveryListSize(), 1u);
  // An agent's reply updates its entry: the items it carries replace, the
  // other fields stay, so a reply that is a bare header blanks nothing.
  const auto reply = Reply(kOpSetByMacReply, 1, kMacB);
  UpdateDiscoveryEntry(reply->data, kPacketHeaderSize);
  const uint8_t vlan[] = {0, kTlvVlanId, 0, 6, 0, 42};
  std::memcpy(reply->data + kPacketHeaderSize, vlan, sizeof vlan);
  UpdateDiscoveryEntry(reply->data, kPacketHeaderSize + sizeof vlan);
  UpdateDiscoveryEntry(Reply(kOpSetByMacReply, 1, kMacA)->data, kPacketHeaderSize);  // absent
  std::vector<AgentRecord> out;
  CopyDiscoveryList(out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].vlanID, 42);
  EXPECT_EQ(out[0].agentIpAddr[3], 2);
  EXPECT_STREQ(out[0].systemName, "kept");
  EXPECT_EQ(out[0].dhcpMode, 1);
}

class EngineMonitoring : public EngineMatching {
 protected:
  WatchedAgent Node(size_t i) {
    WatchedAgent node;
    EXPECT_EQ(GetWatchedAgent(i, node), 1);
    return node;
  }
};

TEST_F(EngineMonitoring, TableKeyedByAddress) {
  AgentRecord r{};
  r.agentIpAddr[0] = 10;
  EXPECT_EQ(AddWatchedAgent(r), 1);
  EXPECT_EQ(AddWatchedAgent(r), 0);
  EXPECT_EQ(WatchedAgentCount(), 1u);
  WatchedAgent node;
  EXPECT_EQ(GetWatchedAgent(1, node), 0);
  EXPECT_EQ(Node(0).isAlive, 1);
  EXPECT_EQ(Node(0).lastPollTick, 0u);
  const uint8_t absent[4] = {1, 2, 3, 4};
  EXPECT_EQ(RemoveWatchedAgent(absent), 1);
  EXPECT_EQ(WatchedAgentCount(), 1u);
  EXPECT_EQ(RemoveWatchedAgent(r.agentIpAddr), 1);
  EXPECT_EQ(WatchedAgentCount(), 0u);
}

TEST_F(EngineMonitoring, DeadAtThirdSilentPollAliveAtNextReply) {
  AgentRecord r{};
  const uint32_t source = 0x0100000A;  // 10.0.0.1 in network order
  std::memcpy(r.agentIpAddr, &source, 4);
  std::memcpy(r.macAddr, kMacA.b, kMacSize);
  AddWatchedAgent(r);
  // Before the first poll no reply is accepted.
  RefreshWatchedAgent(*Reply(kOpKeepAliveReply, 1, kMacA, source));
  EXPECT_EQ(Node(0).recvFlag, 0);

  MonitorPollPass();  // first poll, at once
  EXPECT_EQ(Node(0).lastPollTick, clock_.Now());
  RefreshWatchedAgent(*Reply(kOpKeepAliveReply, 1, kMacA, source));
  EXPECT_EQ(Node(0).recvFlag, 1);

  // The agent falls silent: three polls later it is dead.
  std::vector<int> alive;
  for (int poll = 0; poll < 4; ++poll) {
    clock_.Advance(1000);
    MonitorPollPass();  // not due yet: nothing changes
    clock_.Advance(14000);
    MonitorPollPass();
    alive.push_back(Node(0).isAlive);
  }
  EXPECT_EQ(alive, (std::vector<int>{1, 1, 1, 0}));
  // (The first of those polls found the earlier reply: misses start after it.)
  EXPECT_EQ(Node(0).missCount, 3);

  // A reply an interval or more after the last poll is ignored...
  clock_.Advance(15000);
  RefreshWatchedAgent(*Reply(kOpKeepAliveReply, 1, kMacA, source));
  EXPECT_EQ(Node(0).isAlive, 0);
  // ... one within the interval brings it back at once, unless it is malformed.
  MonitorPollPass();
  clock_.Advance(100);
  RefreshWatchedAgent(*Reply(kOpKeepAliveReply, 1, kMacA, source, 0, 3));
  EXPECT_EQ(Node(0).isAlive, 0);
  RefreshWatchedAgent(*Reply(kOpDiscoverReply, 1, kMacA, source));
  EXPECT_EQ(Node(0).isAlive, 1);
  EXPECT_EQ(Node(0).missCount, 0);
}

// On the engine's packet thread the handlers of one reply share one decode
// of it: the discovery list and the watched agent both get its fields, and
// the next reply is decoded afresh.
TEST_F(EngineMonitoring, HandlersOfOneReplyOnThePacketThreadShareItsDecode) {
  AgentRecord r{};
  const uint32_t source = 0x0100000A;
  std::memcpy(r.agentIpAddr, &source, 4);
  std::memcpy(r.macAddr, kMacA.b, kMacSize);
  AddWatchedAgent(r);
  MonitorPollPass();
  RegisterDiscovery(9);
  SetPacketDispatch(PacketDispatch{
      .routes = {{kOpDiscoverReply, {HandleDiscoveryReply, RefreshWatchedAgent}},
                 {kOpKeepAliveReply, {RefreshWatchedAgent}}},
      .drained = {},
  });
  EngineOptions options;
  options.readAdapters = [](std::vector<AdapterEntry>& out) {
    out.clear();
    return true;
  };
  options.igmpReports = false;
  options.loadConfig = [] { return 1; };
  ASSERT_EQ(StartEngine(options), 1);
  // A reply that names the agent but not its address.
  const auto named = [&](uint16_t opcode, const char* name) {
    uint8_t bytes[kMaxPacketSize] = {};
    BuildPacketHeader(opcode, 0, bytes);
    SetPacketSequence(bytes, 9);
    SetPacketAgentMac(bytes, kMacA.b);
    const size_t n = std::strlen(name);
    StoreBe16(bytes + kPacketHeaderSize, kTlvSystemName);
    StoreBe16(bytes + kPacketHeaderSize + 2, static_cast<uint16_t>(kTlvHeaderSize + n));
    std::memcpy(bytes + kPacketHeaderSize + kTlvHeaderSize, name, n);
    return MakeReceivedPacket(bytes, kPacketHeaderSize + kTlvHeaderSize + n, source, 64515, false);
  };
  const auto waitFor = [](auto done) {
    for (int i = 0; i < 5000 && !done(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
  };
  PacketQueueOf().Append(named(kOpDiscoverReply, "first"));
  PacketQueueOf().Signal();
  ASSERT_TRUE(waitFor([&] { return DiscoveryListSize() == 1 && Node(0).recvFlag == 1; }));
  std::vector<AgentRecord> found;
  CopyDiscoveryList(found);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_STREQ(found[0].systemName, "first");
  EXPECT_EQ(found[0].agentIpAddr[0], 0);  // the reply named no address
  EXPECT_STREQ(Node(0).record.systemName, "first");
  EXPECT_EQ(std::memcmp(Node(0).record.agentIpAddr, &source, 4), 0);  // the sender's

  PacketQueueOf().Append(named(kOpKeepAliveReply, "second"));
  PacketQueueOf().Signal();
  EXPECT_TRUE(waitFor([&] { return std::string(Node(0).record.systemName) == "second"; }));
  StopEngine();
  ClearEngineHooks();
}

TEST_F(EngineMonitoring, UnknownMacLearntThenFollowedToNewAddress) {
  AgentRecord r{};
  const uint32_t first = 0x0500000A;
  const uint32_t moved = 0x0600000A;
  std::memcpy(r.agentIpAddr, &first, 4);
  r.vlanID = 7;
  AddWatchedAgent(r);
  MonitorPollPass();
  RefreshWatchedAgent(*Reply(kOpKeepAliveReply, 1, kMacB, moved));  // another address
  EXPECT_EQ(Node(0).record.macAddr[0], 0);
  RefreshWatchedAgent(*Reply(kOpKeepAliveReply, 1, kMacA, first));
  EXPECT_EQ(Node(0).record.macAddr[5], 0x0A);
  EXPECT_EQ(Node(0).record.vlanID, 7);  // kept: the reply does not carry it
  // Matched by MAC from now on; the reply's address item wins over its source.
  RefreshWatchedAgent(*Reply(kOpKeepAliveReply, 1, kMacA, moved));
  EXPECT_EQ(Node(0).record.agentIpAddr[0], 10);
  EXPECT_EQ(Node(0).record.agentIpAddr[3], 1);
  EXPECT_EQ(Node(0).record.vlanID, 0);  // the record starts over from the reply
}

TEST_F(EngineMonitoring, IntervalBelowASecondPollsAndAcceptsAsOneSecond) {
  Config().monitorPollingIntervalMs = 0;  // an empty value in the file, or SetRefreshTime 0
  EXPECT_EQ(GetMonitorInterval(), 0u);    // reported as set
  AgentRecord r{};
  const uint32_t source = 0x0700000A;
  std::memcpy(r.agentIpAddr, &source, 4);
  std::memcpy(r.macAddr, kMacA.b, kMacSize);
  AddWatchedAgent(r);
  MonitorPollPass();
  const uint32_t firstPoll = Node(0).lastPollTick;
  // An answer 500 ms after the poll counts, and the agent stays alive
  // through poll after poll while it keeps answering.
  for (int poll = 0; poll < 5; ++poll) {
    clock_.Advance(500);
    RefreshWatchedAgent(*Reply(kOpKeepAliveReply, 1, kMacA, source));
    EXPECT_EQ(Node(0).recvFlag, 1) << poll;
    MonitorPollPass();  // 500 ms after the last poll: not due yet
    clock_.Advance(500);
    MonitorPollPass();  // a second after it: due
    EXPECT_EQ(Node(0).isAlive, 1) << poll;
    EXPECT_EQ(Node(0).missCount, 0) << poll;
  }
  EXPECT_EQ(Node(0).lastPollTick - firstPoll, 5000u);  // once a second, no faster
  Config().monitorPollingIntervalMs = 15000;
}

TEST_F(EngineMonitoring, KnownMacStartingWithZeroIsNotTakenOverByAnotherDevice) {
  AgentRecord r{};
  const uint32_t source = 0x0800000A;
  const Mac vendor{{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}};  // a real vendor prefix
  std::memcpy(r.agentIpAddr, &source, 4);
  std::memcpy(r.macAddr, vendor.b, kMacSize);
  r.vlanID = 9;
  AddWatchedAgent(r);
  MonitorPollPass();
  // Another device answers from the same address: the watched record stays.
  RefreshWatchedAgent(*Reply(kOpKeepAliveReply, 1, kMacB, source));
  EXPECT_EQ(std::memcmp(Node(0).record.macAddr, vendor.b, kMacSize), 0);
  EXPECT_EQ(Node(0).record.vlanID, 9);
  EXPECT_EQ(Node(0).recvFlag, 0);
  // The agent itself is still recognised by its MAC.
  RefreshWatchedAgent(*Reply(kOpKeepAliveReply, 1, vendor, source));
  EXPECT_EQ(Node(0).recvFlag, 1);
}

std::vector<std::string> g_notices;
int RecordNotice(std::string_view text) {
  g_notices.emplace_back(text);
  return 0;
}

TEST(EngineTraps, PlainAndTlvTrapsAreRecordedOnceEach) {
  SetNoticeSink(RecordNotice);
  g_notices.clear();
  std::vector<TrapRecord> drained;
  TakeAllTraps(drained);
  drained.clear();
  const uint32_t count_before = TrapCount();

  uint8_t plain[kMaxPacketSize] = {};
  BuildPacketHeader(kOpTrap, 0, plain);
  const uint8_t address[] = {0xC0, 0xA8, 0x00, 0x14};
  std::memcpy(plain + 40, address, 4);
  std::memcpy(plain + 44, "link up", 8);
  TrapCallback(plain, 52, nullptr);

  // A text that runs to the end of the datagram, longer than the record.
  uint8_t long_text[kMaxPacketSize] = {};
  BuildPacketHeader(kOpTrap, 0, long_text);
  std::memset(long_text + 44, 'x', 400);
  TrapCallback(long_text, 444, nullptr);

  uint8_t tlv[kMaxPacketSize] = {};
  BuildPacketHeader(kOpTrapTlv, 0, tlv);
  const uint8_t items[] = {0, 3,  0, 8, 'h', 'a', 'l', 'l',  // location
                           0, 31, 0, 7, 'f', 'a', 'n'};      // trap message
  std::memcpy(tlv + 40, items, sizeof items);
  TrapCallback(tlv, 40 + sizeof items, nullptr);

  TakeAllTraps(drained);
  ASSERT_EQ(drained.size(), 3u);
  EXPECT_STREQ(drained[0].ip, "192.168.0.20");
  EXPECT_STREQ(drained[0].string, "link up");
  EXPECT_STREQ(drained[0].location, "");
  EXPECT_EQ(std::string(drained[1].string), std::string(255, 'x'));
  EXPECT_STREQ(drained[2].location, "hall");
  EXPECT_STREQ(drained[2].string, "fan");
  EXPECT_STREQ(drained[2].ip, "0.0.0.0");  // no address item
  EXPECT_EQ(std::strlen(drained[2].time), 19u);
  EXPECT_EQ(g_notices, (std::vector<std::string>{"trap", "trap", "trap"}));
  EXPECT_EQ(TrapCount() - count_before, 3u);
  drained.clear();
  TakeAllTraps(drained);
  EXPECT_TRUE(drained.empty());
  SetNoticeSink(nullptr);
}

TEST(EngineTraps, ListKeepsTheNewestTenThousand) {
  SetNoticeSink(RecordNotice);
  std::vector<TrapRecord> drained;
  TakeAllTraps(drained);
  drained.clear();
  uint8_t plain[kMaxPacketSize] = {};
  BuildPacketHeader(kOpTrap, 0, plain);
  for (size_t i = 0; i < kMaxTrapRecords + 5; ++i) {
    const int n = std::snprintf(reinterpret_cast<char*>(plain + 44), 16, "t %zu", i);
    TrapCallback(plain, 44 + n + 1, nullptr);
  }
  ReportDroppedTraps();
  TakeAllTraps(drained);
  ASSERT_EQ(drained.size(), kMaxTrapRecords);
  EXPECT_STREQ(drained.front().string, "t 5");  // the oldest five made room
  EXPECT_EQ(std::string(drained.back().string), "t " + std::to_string(kMaxTrapRecords + 4));
  drained.clear();
  TakeAllTraps(drained);
  EXPECT_TRUE(drained.empty());
  SetNoticeSink(nullptr);
  g_notices.clear();
}

TEST(EngineTraps, LocalTimeFormatFitsItsBuffer) {
  char buffer[20];
  EXPECT_EQ(FormatLocalTime(buffer, sizeof buffer), 0);
  EXPECT_EQ(std::strlen(buffer), 19u);
  EXPECT_EQ(buffer[4], '/');
  char tiny[5];
  FormatLocalTime(tiny, sizeof tiny);
  EXPECT_EQ(std::strlen(tiny), 4u);
}

}  // namespace
}  // namespace ferro
