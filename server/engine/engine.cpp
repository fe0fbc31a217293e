#include "engine/engine.h"

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "engine/engine_config.h"
#include "net/igmp.h"
#include "net/receive.h"
#include "net/transport.h"
#include "platform/tick.h"

namespace ferro {
namespace {

constexpr size_t kThreadCount = static_cast<size_t>(EngineThread::kCount);
constexpr size_t kHandlerOpcodes = 32;
constexpr size_t kHandlersPerOpcode = 4;
constexpr size_t kMaxCleanups = 8;
using Work = void (*)();

struct Hooks {
  std::mutex addMu;  // serialises additions; readers load the atomics
  std::array<std::array<std::atomic<PacketHandler>, kHandlersPerOpcode>, kHandlerOpcodes> packet{};
  std::atomic<PacketHandler> transfer{nullptr};
  std::array<std::atomic<Work>, static_cast<size_t>(EnginePass::kCount)> passes{};
  std::array<std::atomic<Work>, kMaxCleanups> cleanups{};
};
Hooks& TheHooks() {
  static Hooks hooks;
  return hooks;
}

void RunPass(EnginePass pass) {
  if (Work w = TheHooks().passes[static_cast<size_t>(pass)].load(std::memory_order_acquire)) w();
}

void Dispatch(const ReceivedPacket& packet) {
  if (packet.fromTransferSocket || packet.opcode >= kHandlerOpcodes) return;
  for (auto& slot : TheHooks().packet[packet.opcode]) {
    PacketHandler h = slot.load(std::memory_order_acquire);
    if (h == nullptr) break;
    h(packet);
  }
}

struct EngineCore {
  std::mutex lifecycle;              // StartEngine / InitDeviceLists / StopEngine
  std::atomic<bool> running{false};  // also read by engine threads, without the mutex
  bool deviceLists = false;
  int startResult = 0;
  EngineOptions options;
  std::atomic<bool> stop{false};
  Event stopEvent{Event::Mode::kManualReset};
  std::array<std::thread, kThreadCount> threads;
  std::array<std::atomic<bool>, kThreadCount> alive{};
  std::atomic<uint64_t> passes{0};
  WaitableTimer upgradeTimer;
  std::unique_ptr<Receiver> receiver;
};
EngineCore& Core() {
  static EngineCore core;
  return core;
}

std::atomic<bool>& Alive(EngineThread t) { return Core().alive[static_cast<size_t>(t)]; }

void Launch(EngineThread t, Work body) {
  EngineCore& c = Core();
  Alive(t).store(true);
  try {
    c.threads[static_cast<size_t>(t)] = std::thread([t, body] {
      body();
      Alive(t).store(false);
    });
  } catch (const std::system_error&) {
    Alive(t).store(false);  // a thread that fails to start is not reported
  }
}

// Sleeps `ms` ticks; true when the engine is stopping.
bool SleepOrStop(uint32_t ms) { return Core().stopEvent.WaitFor(ms); }
bool Stopping() { return Core().stop.load(std::memory_order_acquire); }

void ReceiveBody() { Core().receiver->Run(Core().stop, PacketQueueOf(), TransferQueueOf()); }

void AdapterWatchBody() {
  EngineCore& c = Core();
  SocketOpener& opener = c.options.opener != nullptr ? *c.options.opener : SystemSocketOpener();
  std::vector<AdapterEntry> adapterList;  // touched by this thread only
  bool first = true;
  while (!Stopping()) {
    if (!c.options.readAdapters(adapterList)) adapterList.clear();
    ReconcileAdapters(adapterList, opener);
    if (first) {
      first = false;
      Launch(EngineThread::kReceive, ReceiveBody);
    } else {
      c.receiver->Wake();  // wait on new sockets at once
    }
    c.passes.fetch_add(1, std::memory_order_acq_rel);
    if (SleepOrStop(kAdapterWatchPeriodMs)) break;
  }
}

void IgmpReportBody() {
  if (!Core().options.igmpReports) {
    while (!SleepOrStop(kIgmpCheckPeriodMs)) {
    }
    return;
  }
  IgmpReporter reporter;
  const uint32_t group = Config().multicastGroup.load();
  const auto report = BuildIgmpV1Report(group);
  uint32_t last = GetTick();
  if (Config().igmpReportIntervalMs.load() != 0) reporter.SendReport(report, group);
  while (!SleepOrStop(kIgmpCheckPeriodMs)) {
    const uint32_t interval = Config().igmpReportIntervalMs.load();
    const uint32_t now = GetTick();
    if (interval != 0 && TickElapsed(now, last, interval)) {
      reporter.SendReport(report, group);
      last = now;
    }
  }
}

void PacketProcessBody() {
  while (std::unique_ptr<ReceivedPacket> p = PacketQueueOf().Take(Core().stop)) Dispatch(*p);
}

void TransferProcessBody() {
  while (std::unique_ptr<ReceivedPacket> p = TransferQueueOf().Take(Core().stop)) {
    if (PacketHandler h = TheHooks().transfer.load(std::memory_order_acquire)) h(*p);
  }
}

void UpgradeTimerBody() {
  while (Core().upgradeTimer.Wait() && !Stopping()) RunPass(EnginePass::kUpgradeTick);
}

void MonitorPollBody() {
  do {
    RunPass(EnginePass::kMonitorPoll);
  } while (!SleepOrStop(kMonitorPollPeriodMs));
}

void ActionExpiryBody() {
  do {
    RunPass(EnginePass::kActionExpiry);
  } while (!SleepOrStop(kActionExpiryPeriodMs));
}

void DevSetTimeoutBody() {
  do {
    RunPass(EnginePass::kDevSetTimeout);
  } while (!SleepOrStop(kDevSetTimeoutPeriodMs));
}

void Join(EngineThread t) {
  std::thread& th = Core().threads[static_cast<size_t>(t)];
  if (th.joinable()) th.join();
}

}  // namespace

const char* EngineThreadName(EngineThread thread) {
  switch (thread) {
    case EngineThread::kAdapterWatch:
      return "AdapterWatchThread";
    case EngineThread::kReceive:
      return "ReceiveThread";
    case EngineThread::kIgmpReport:
      return "IgmpReportThread";
    case EngineThread::kPacketProcess:
      return "PacketProcessThread";
    case EngineThread::kTransferProcess:
      return "TransferProcessThread";
    case EngineThread::kUpgradeTimer:
      return "UpgradeTimerThread";
    case EngineThread::kMonitorPoll:
      return "MonitorPollThread";
    case EngineThread::kActionExpiry:
      return "ActionExpiryThread";
    case EngineThread::kDevSetTimeout:
      return "DevSetTimeoutThread";
    case EngineThread::kCount:
      break;
  }
  return "?";
}

int StartEngine() { return StartEngine(EngineOptions{}); }

int StartEngine(const EngineOptions& options) {
  EngineCore& c = Core();
  std::lock_guard lock(c.lifecycle);
  if (c.running) return c.startResult;  // one engine per process
  c.options = options;
  const int result = options.loadConfig != nullptr ? options.loadConfig() : LoadEngineConfig();
  c.stop.store(false, std::memory_order_release);
  c.stopEvent.Reset();
  c.upgradeTimer.Reopen();
  c.passes.store(0);
  c.receiver = std::make_unique<Receiver>();
  Launch(EngineThread::kAdapterWatch, AdapterWatchBody);
  Launch(EngineThread::kIgmpReport, IgmpReportBody);
  Launch(EngineThread::kPacketProcess, PacketProcessBody);
  Launch(EngineThread::kTransferProcess, TransferProcessBody);
  Launch(EngineThread::kUpgradeTimer, UpgradeTimerBody);
  Launch(EngineThread::kMonitorPoll, MonitorPollBody);
  Launch(EngineThread::kActionExpiry, ActionExpiryBody);
  c.running = true;
  c.startResult = result;
  return result;
}

int InitDeviceLists(TrapCallbackFn trapHandler) {
  EngineCore& c = Core();
  std::lock_guard lock(c.lifecycle);
  if (!c.running) return 0;
  if (c.deviceLists) return 1;
  if (trapHandler != nullptr) SetTrapCallback(trapHandler, nullptr);
  Launch(EngineThread::kDevSetTimeout, DevSetTimeoutBody);
  c.deviceLists = true;
  return 1;
}

int StopEngine() {
  EngineCore& c = Core();
  std::lock_guard lock(c.lifecycle);
  if (!c.running) return 1;
  // Every thread first, so that none of them ever reaches a freed record.
  c.stop.store(true, std::memory_order_release);
  c.stopEvent.Set();
  PacketQueueOf().Wake();
  TransferQueueOf().Wake();
  c.upgradeTimer.Close();
  c.receiver->Wake();
  for (EngineThread t :
       {EngineThread::kAdapterWatch, EngineThread::kReceive, EngineThread::kUpgradeTimer,
        EngineThread::kMonitorPoll, EngineThread::kIgmpReport, EngineThread::kPacketProcess,
        EngineThread::kTransferProcess, EngineThread::kActionExpiry,
        EngineThread::kDevSetTimeout}) {
    Join(t);
  }
  for (auto& slot : TheHooks().cleanups) {
    if (Work w = slot.load(std::memory_order_acquire)) w();
  }
  PacketQueueOf().Clear();
  {
    std::lock_guard alock(ActionListLock());
    ActionList().clear();
  }
  CloseAllSockets();
  TransferQueueOf().Clear();
  c.receiver.reset();
  c.running = false;
  c.deviceLists = false;
  return 1;
}

bool IsEngineRunning() { return Core().running.load(); }

bool IsEngineThreadRunning(EngineThread thread) {
  return thread != EngineThread::kCount && Alive(thread).load();
}

uint64_t AdapterPassCount() { return Core().passes.load(std::memory_order_acquire); }

WaitableTimer& UpgradeTimer() { return Core().upgradeTimer; }

bool AddPacketHandler(uint16_t opcode, PacketHandler handler) {
  if (opcode >= kHandlerOpcodes || handler == nullptr) return false;
  Hooks& h = TheHooks();
  std::lock_guard lock(h.addMu);
  for (auto& slot : h.packet[opcode]) {
    if (slot.load() == nullptr) {
      slot.store(handler, std::memory_order_release);
      return true;
    }
  }
  return false;
}

void SetTransferHandler(PacketHandler handler) {
  TheHooks().transfer.store(handler, std::memory_order_release);
}

void SetEnginePass(EnginePass pass, void (*work)()) {
  if (pass == EnginePass::kCount) return;
  TheHooks().passes[static_cast<size_t>(pass)].store(work, std::memory_order_release);
}

bool AddStopCleanup(void (*cleanup)()) {
  Hooks& h = TheHooks();
  std::lock_guard lock(h.addMu);
  for (auto& slot : h.cleanups) {
    if (slot.load() == nullptr) {
      slot.store(cleanup, std::memory_order_release);
      return true;
    }
  }
  return false;
}

void ClearEngineHooks() {
  Hooks& h = TheHooks();
  std::lock_guard lock(h.addMu);
  for (auto& op : h.packet) {
    for (auto& slot : op) slot.store(nullptr);
  }
  h.transfer.store(nullptr);
  for (auto& p : h.passes) p.store(nullptr);
  for (auto& cl : h.cleanups) cl.store(nullptr);
}

}  // namespace ferro
