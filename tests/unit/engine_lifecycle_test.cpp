// Engine start, threads, hooks and stop, run with a transport that reaches
// no adapter (nothing is ever sent) and with a manual clock.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>
#endif

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "engine/engine.h"
#include "engine/engine_state.h"
#include "net/transport.h"
#include "platform/tick.h"

namespace ferro {
namespace {

using namespace std::chrono_literals;

constexpr EngineThread kStartedByStartEngine[] = {
    EngineThread::kAdapterWatch,  EngineThread::kReceive,         EngineThread::kIgmpReport,
    EngineThread::kPacketProcess, EngineThread::kTransferProcess, EngineThread::kUpgradeTimer,
    EngineThread::kMonitorPoll,   EngineThread::kActionExpiry};

class FakeOpener : public SocketOpener {
 public:
  SocketRef Open(SocketKind kind, uint32_t, const AdapterSocketSet&) override {
    return std::make_shared<UdpSocket>(-1, kind);
  }
};
FakeOpener g_opener;

bool NoAdapters(std::vector<AdapterEntry>& out) {
  out.clear();
  return true;
}

// One adapter, served by the fake opener: sockets that are never real.
bool OneFakeAdapter(std::vector<AdapterEntry>& out) {
  out.clear();
  AdapterEntry a;
  a.mac = {0x02, 0, 0, 0, 0, 9, 0, 0};
  a.ifIndex = 99;
  a.ipList.push_back(IpEntry{0x0100000A, 0x00FFFFFF, false});  // 10.0.0.1/24
  out.push_back(a);
  return true;
}

int ConfigLoaded() { return 1; }
int ConfigMissing() { return 0; }

std::atomic<int> g_monitorPasses{0};
std::atomic<int> g_expiryPasses{0};
std::atomic<int> g_upgradeTicks{0};
std::atomic<int> g_cleanups{0};
std::atomic<int> g_order{0};
std::atomic<int> g_firstSeen{0};
std::atomic<int> g_secondSeen{0};
std::atomic<int> g_transfers{0};
std::atomic<int> g_drained{0};

template <typename Pred>
bool WaitUntil(Pred done, std::chrono::milliseconds limit = 5s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(1ms);
  return done();
}

// The names of this process's threads, as per-thread tools show them.
std::set<std::string> ThreadNames() {
  std::set<std::string> names;
#ifdef _WIN32
  using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const auto get = reinterpret_cast<GetDescription>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "GetThreadDescription")));
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (get == nullptr || snapshot == INVALID_HANDLE_VALUE) return names;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != GetCurrentProcessId()) continue;
    HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
    PWSTR wide = nullptr;
    if (thread != nullptr && SUCCEEDED(get(thread, &wide)) && wide != nullptr) {
      std::string name;
      for (const wchar_t* c = wide; *c != 0; ++c) name.push_back(static_cast<char>(*c));  // ASCII
      names.insert(name);
      LocalFree(wide);
    }
    if (thread != nullptr) CloseHandle(thread);
  }
  CloseHandle(snapshot);
#else
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (std::getline(comm, name)) names.insert(name);
  }
#endif
  return names;
}

class EngineLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearEngineHooks();
    for (auto* c : {&g_monitorPasses, &g_expiryPasses, &g_upgradeTicks, &g_cleanups, &g_order,
                    &g_firstSeen, &g_secondSeen, &g_transfers, &g_drained}) {
      c->store(0);
    }
    options_.readAdapters = NoAdapters;
    options_.opener = &g_opener;
    options_.igmpReports = false;
    options_.loadConfig = ConfigLoaded;
  }
  void TearDown() override {
    StopEngine();
    ClearEngineHooks();
    SetTickSource(nullptr);
  }
  EngineOptions options_;
};

TEST(EngineSequence, RunsFromOneToMaxAndWrapsToOneNeverZero) {
  uint16_t prev = NextSequence();
  ASSERT_NE(prev, 0);
  for (int i = 0; i < 70000; ++i) {
    const uint16_t s = NextSequence();
    ASSERT_NE(s, 0);
    ASSERT_EQ(s, prev == 65535 ? 1 : prev + 1);
    prev = s;
  }
}

TEST(EngineActionEntry, EachResponderIsRecordedOnceInAnswerOrder) {
  ActionEntry e;
  const uint8_t a[6] = {0, 1, 2, 3, 4, 5};
  const uint8_t b[6] = {0, 1, 2, 3, 4, 6};
  EXPECT_TRUE(e.AddResponder(a));
  EXPECT_TRUE(e.AddResponder(b));
  EXPECT_FALSE(e.AddResponder(a));
  ASSERT_EQ(e.responders.size(), 2u);
  EXPECT_EQ(e.responders[1][5], 6);
  // At the limit a new MAC is refused (and counted); a known one is a repeat.
  const uint8_t c[6] = {0, 1, 2, 3, 4, 7};
  EXPECT_FALSE(e.AddResponder(c, 2));
  EXPECT_FALSE(e.AddResponder(b, 2));
  EXPECT_EQ(e.refusedResponders, 1u);
  EXPECT_EQ(e.responders.size(), 2u);
  EXPECT_TRUE(e.AddResponder(c, 3));
}

TEST_F(EngineLifecycle, StartRunsEveryThreadAndStopEndsThemAndFreesTheLists) {
  options_.readAdapters = OneFakeAdapter;
  AddStopCleanup([] { ++g_cleanups; });
  ASSERT_EQ(StartEngine(options_), 1);
  ASSERT_TRUE(WaitUntil([] { return AdapterPassCount() >= 1; }));
  for (EngineThread t : kStartedByStartEngine) {
    EXPECT_TRUE(WaitUntil([t] { return IsEngineThreadRunning(t); })) << EngineThreadName(t);
  }
  EXPECT_FALSE(IsEngineThreadRunning(EngineThread::kDevSetTimeout));
  EXPECT_EQ(InitDeviceLists(), 1);
  EXPECT_TRUE(IsEngineThreadRunning(EngineThread::kDevSetTimeout));
  // Each thread carries its name without the "Thread" ending, so that the
  // CPU of, say, the keep-alive poll can be told apart per thread.
  for (const char* name :
       {"AdapterWatch", "Receive", "IgmpReport", "PacketProcess", "TransferProcess", "UpgradeTimer",
        "MonitorPoll", "ActionExpiry", "DevSetTimeout"}) {
    EXPECT_TRUE(WaitUntil([name] { return ThreadNames().contains(name); })) << name;
  }

  std::weak_ptr<UdpSocket> socket;
  {
    std::lock_guard lock(AdapterSocketLock());
    ASSERT_EQ(AdapterSocketList().size(), 1u);
    socket = AdapterSocketList()[0].sockets[0].unicast;
  }
  {
    std::lock_guard lock(ActionListLock());
    ActionList().push_back(std::make_unique<ActionEntry>());
  }
  TransferQueueOf().Append(std::make_unique<ReceivedPacket>());

  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(StopEngine(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
  for (int t = 0; t < static_cast<int>(EngineThread::kCount); ++t) {
    EXPECT_FALSE(IsEngineThreadRunning(static_cast<EngineThread>(t)));
  }
  EXPECT_FALSE(IsEngineRunning());
  EXPECT_EQ(g_cleanups.load(), 1);
  EXPECT_TRUE(socket.expired());
  {
    std::lock_guard lock(ReceiveSocketLock());
    EXPECT_TRUE(ReceiveSocketList().empty());
  }
  std::lock_guard lock(ActionListLock());
  EXPECT_TRUE(ActionList().empty());
  EXPECT_EQ(TransferQueueOf().Size(), 0u);
}

TEST_F(EngineLifecycle, SecondStartReportsTheFirstResultAndStartsNothing) {
  options_.loadConfig = ConfigMissing;
  ASSERT_EQ(StartEngine(options_), 0);  // runs all the same
  EXPECT_TRUE(IsEngineRunning());
  options_.loadConfig = ConfigLoaded;
  EXPECT_EQ(StartEngine(options_), 0);
  // The device lists run all the same, so device-set operations still end.
  EXPECT_EQ(InitDeviceLists(), 1);
  EXPECT_TRUE(IsEngineThreadRunning(EngineThread::kDevSetTimeout));
  EXPECT_EQ(InitDeviceLists(), 1);
}

TEST_F(EngineLifecycle, PacketHandlersRunInOrderPerOpcodeAndTransferRecordsAreNotDispatched) {
  SetPacketDispatch(PacketDispatch{
      .routes = {{6,
                  {[](const ReceivedPacket& p) {
                     g_firstSeen = ++g_order;
                     EXPECT_EQ(p.sequence, 42);
                   },
                   [](const ReceivedPacket&) { g_secondSeen = ++g_order; }}},
                 // A high opcode is as good as a low one: no slot limits.
                 {60000, {[](const ReceivedPacket&) { ++g_order; }}}},
      .drained = {[] { ++g_drained; }},
  });
  SetTransferHandler([](const ReceivedPacket&) { ++g_transfers; });
  ASSERT_EQ(StartEngine(options_), 1);

  auto fromTransfer = std::make_unique<ReceivedPacket>();
  fromTransfer->opcode = 6;
  fromTransfer->fromTransferSocket = true;
  PacketQueueOf().Append(std::move(fromTransfer));
  auto reply = std::make_unique<ReceivedPacket>();
  reply->opcode = 6;
  reply->sequence = 42;
  PacketQueueOf().Append(std::move(reply));
  PacketQueueOf().Signal();
  auto transferRecord = std::make_unique<ReceivedPacket>();
  transferRecord->fromTransferSocket = true;
  TransferQueueOf().Append(std::move(transferRecord));
  TransferQueueOf().Signal();

  ASSERT_TRUE(WaitUntil([] { return g_secondSeen.load() != 0 && g_transfers.load() == 1; }));
  EXPECT_EQ(g_firstSeen.load(), 1);
  EXPECT_EQ(g_secondSeen.load(), 2);
  EXPECT_EQ(g_order.load(), 2);  // the transfer-socket record reached no handler
  ASSERT_TRUE(WaitUntil([] { return g_drained.load() >= 1; }));

  auto high = std::make_unique<ReceivedPacket>();
  high->opcode = 60000;
  PacketQueueOf().Append(std::move(high));
  PacketQueueOf().Signal();
  ASSERT_TRUE(WaitUntil([] { return g_order.load() == 3; }));
}

TEST(EngineDispatchDeathTest, ATableThatCannotBeHonouredEndsTheProgramAtOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const PacketHandler h = [](const ReceivedPacket&) {};
  EXPECT_DEATH(SetPacketDispatch(PacketDispatch{.routes = {{2, {h}}, {2, {h}}}, .drained = {}}),
               "opcode listed twice \\(opcode 2\\)");
  EXPECT_DEATH(SetPacketDispatch(PacketDispatch{.routes = {{5, {}}}, .drained = {}}),
               "without a handler");
  EXPECT_DEATH(SetPacketDispatch(PacketDispatch{.routes = {{5, {h, nullptr}}}, .drained = {}}),
               "empty handler");
}

TEST_F(EngineLifecycle, PeriodicThreadsFollowTheManualClock) {
  ManualTickSource clock(1000);
  SetTickSource(&clock);
  SetEnginePass(EnginePass::kMonitorPoll, [] { ++g_monitorPasses; });
  SetEnginePass(EnginePass::kActionExpiry, [] { ++g_expiryPasses; });
  SetEnginePass(EnginePass::kUpgradeTick, [] { ++g_upgradeTicks; });
  ASSERT_EQ(StartEngine(options_), 1);
  ASSERT_TRUE(WaitUntil([] { return g_expiryPasses.load() == 1 && AdapterPassCount() == 1; }));
  // 110 s of engine time in 1 s steps, without sleeping for it.
  ASSERT_TRUE(UpgradeTimer().Arm(1000, 1000));
  for (int i = 0; i < 110; ++i) {
    clock.Advance(1000);
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_TRUE(WaitUntil([] { return g_expiryPasses.load() >= 2 && AdapterPassCount() >= 2; }));
  EXPECT_GE(g_monitorPasses.load(), 10);
  EXPECT_GE(g_upgradeTicks.load(), 10);
  UpgradeTimer().Cancel();
}

TEST_F(EngineLifecycle, SendsBeforeTheFirstAdapterPassAndWithoutAdaptersSendNothing) {
  uint8_t packet[kPacketHeaderSize] = {};
  EXPECT_EQ(SendToAll(packet, sizeof packet), 0);
  ASSERT_EQ(StartEngine(options_), 1);
  ASSERT_TRUE(WaitUntil([] { return AdapterPassCount() >= 1; }));
  EXPECT_EQ(SendToAgent(0x0100000A, packet, sizeof packet), 0);
  EXPECT_EQ(SendTransfer(0x0100000A, 0x4500, packet, sizeof packet), 0);
}

}  // namespace
}  // namespace ferro
