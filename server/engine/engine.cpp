#include "engine/engine.h"

#include <array>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "engine/engine_config.h"
#include "net/igmp.h"
#include "net/receive.h"
#include "net/transport.h"
#include "platform/diag.h"
#include "platform/memory.h"
#include "platform/thread_name.h"
#include "platform/tick.h"
#include "protocol/agent_decoder.h"

namespace ferro {
namespace {

constexpr size_t kThreadCount = static_cast<size_t>(EngineThread::kCount);
using Work = void (*)();

// The datagram whose handlers the PacketProcessThread is running, and its
// body once a handler asked for it decoded.
struct BodyInDispatch {
  const ReceivedPacket* packet = nullptr;
  bool decoded = false;
  bool ok = false;  // the decode found it well-formed
  AgentRecord record{};
  CarriedFields carried;
};
thread_local BodyInDispatch t_body;

// The dispatch table as the engine's threads read it, indexed by opcode.
struct DispatchIndex {
  std::vector<PacketRoute> routes;
  std::vector<uint32_t> byOpcode;  // 1 + the index of the opcode's route; 0: none
  std::vector<Work> drained;

  const PacketRoute* Find(uint16_t opcode) const {
    return opcode < byOpcode.size() && byOpcode[opcode] != 0 ? &routes[byOpcode[opcode] - 1u]
                                                             : nullptr;
  }
  void Dispatch(const ReceivedPacket& packet) const {
    if (packet.fromTransferSocket) return;
    if (const PacketRoute* r = Find(packet.opcode)) {
      t_body.packet = &packet;
      t_body.decoded = false;
      for (PacketHandler h : r->handlers) h(packet);
      t_body.packet = nullptr;
    }
  }
};

struct Hooks {
  std::mutex mu;  // guards `dispatch` and `cleanups`; readers of the atomics need nothing
  std::shared_ptr<const DispatchIndex> dispatch = std::make_shared<DispatchIndex>();
  std::atomic<uint64_t> dispatchVersion{1};  // changes with `dispatch`
  std::atomic<uint64_t> unrouted{0};
  std::atomic<uint64_t> foreignCookie{0};
  std::vector<Work> cleanups;
  std::atomic<PacketHandler> transfer{nullptr};
  std::array<std::atomic<Work>, static_cast<size_t>(EnginePass::kCount)> passes{};
};
Hooks& TheHooks() {
  static Hooks hooks;
  return hooks;
}

std::shared_ptr<const DispatchIndex> CurrentDispatch() {
  std::lock_guard lock(TheHooks().mu);
  return TheHooks().dispatch;
}

// The table as this thread last read it: the receive thread asks for every
// datagram, and takes the lock only when the table has changed.
const DispatchIndex& CachedDispatch() {
  thread_local std::shared_ptr<const DispatchIndex> cached;
  thread_local uint64_t version = 0;
  const uint64_t now = TheHooks().dispatchVersion.load(std::memory_order_acquire);
  if (version != now || !cached) {
    cached = CurrentDispatch();
    version = now;
  }
  return *cached;
}

[[noreturn]] void DispatchFault(const char* what, uint16_t opcode) {
  DiagError("packet dispatch: %s (opcode %u)\n", what, static_cast<unsigned>(opcode));
  std::abort();
}

void RunPass(EnginePass pass) {
  if (Work w = TheHooks().passes[static_cast<size_t>(pass)].load(std::memory_order_acquire)) w();
}

struct EngineCore {
  std::mutex lifecycle;              // StartEngine / InitDeviceLists / StopEngine
  std::atomic<bool> running{false};  // also read by engine threads, without the mutex
  bool deviceLists = false;
  int startResult = 0;
  EngineOptions options;
  std::atomic<bool> stop{false};
  Event stopEvent{Event::Mode::kManualReset};
  Event firstPass{Event::Mode::kManualReset};  // set after the first adapter pass (and at stop)
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

// The thread's name without its "Thread" ending: short enough for the
// system's thread names (15 bytes).
const char* ShortThreadName(EngineThread t) {
  static const auto names = [] {
    std::array<std::string, kThreadCount> out;
    for (size_t i = 0; i < kThreadCount; ++i) {
      std::string name = EngineThreadName(static_cast<EngineThread>(i));
      if (name.ends_with("Thread")) name.resize(name.size() - 6);
      out[i] = name;
    }
    return out;
  }();
  return names[static_cast<size_t>(t)].c_str();
}

void Launch(EngineThread t, Work body) {
  EngineCore& c = Core();
  Alive(t).store(true);
  try {
    c.threads[static_cast<size_t>(t)] = std::thread([t, body] {
      NameCurrentThread(ShortThreadName(t));
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
      c.firstPass.Set();
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
  // The report leaves through the adapters' addresses: the first one goes
  // out as soon as the first adapter pass knows them, not a whole interval
  // later.
  Core().firstPass.Wait();
  if (Stopping()) return;
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

// A pass that took this many records was a flood: the memory its records
// held goes back to the system once the queue has stayed empty this long
// (not between the passes of a burst, which would only fault it in again).
constexpr size_t kFloodPass = 4096;
constexpr uint32_t kFloodQuietMs = 500;

// Takes every queued record at once (the receive thread hands them over a
// batch at a time) and dispatches them, until the queue is empty.
void PacketProcessBody() {
  PacketQueue& queue = PacketQueueOf();
  PacketQueue::Batch batch;
  bool releaseDue = false;
  while (!Stopping()) {
    if (!queue.TryTakeAll(batch)) {
      if (releaseDue) {
        if (!queue.WaitFor(kFloodQuietMs)) {
          ReleaseFreeMemory();
          releaseDue = false;
        }
        continue;
      }
      if (!queue.TakeAll(Core().stop, batch)) return;
    }
    const std::shared_ptr<const DispatchIndex> table = CurrentDispatch();
    size_t taken = 0;
    do {
      for (const std::unique_ptr<ReceivedPacket>& p : batch) table->Dispatch(*p);
      taken += batch.size();
      ReceivedPacketPool().Give(batch);  // back to the receive thread
    } while (queue.TryTakeAll(batch));
    for (Work w : table->drained) w();
    if (taken >= kFloodPass) releaseDue = true;
  }
}

void TransferProcessBody() {
  while (std::unique_ptr<ReceivedPacket> p = TransferQueueOf().Take(Core().stop)) {
    PacketHandler h = nullptr;
    if (p->fromTransferSocket) {
      h = TheHooks().transfer.load(std::memory_order_acquire);
    } else if (const PacketRoute* r = CurrentDispatch()->Find(p->opcode)) {
      h = r->transfer;
    }
    if (h != nullptr) h(*p);
    ReceivedPacketPool().Give(std::move(p));
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
  c.firstPass.Reset();
  c.upgradeTimer.Reopen();
  c.passes.store(0);
  c.receiver = std::make_unique<Receiver>(ClassifyReceived);
  ReceivedPacketPool().Prefill(kPooledPackets);
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
  c.firstPass.Set();
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
  std::vector<Work> cleanups;
  {
    std::lock_guard hooks(TheHooks().mu);
    cleanups = TheHooks().cleanups;
  }
  for (Work w : cleanups) w();
  PacketQueueOf().Clear();
  {
    std::lock_guard alock(ActionListLock());
    ActionList().clear();
  }
  CloseAllSockets();
  TransferQueueOf().Clear();
  c.receiver.reset();
  ReceivedPacketPool().Clear();
  c.running = false;
  c.deviceLists = false;
  return 1;
}

bool IsEngineRunning() { return Core().running.load(); }

bool WaitForFirstAdapterPass(uint32_t ms) {
  return Core().running.load() && Core().firstPass.WaitFor(ms);
}

bool IsEngineThreadRunning(EngineThread thread) {
  return thread != EngineThread::kCount && Alive(thread).load();
}

uint64_t AdapterPassCount() { return Core().passes.load(std::memory_order_acquire); }

WaitableTimer& UpgradeTimer() { return Core().upgradeTimer; }

void SetPacketDispatch(const PacketDispatch& table) {
  auto index = std::make_shared<DispatchIndex>();
  for (const PacketRoute& route : table.routes) {
    if (route.opcode >= index->byOpcode.size()) index->byOpcode.resize(route.opcode + 1u, 0);
    if (index->byOpcode[route.opcode] != 0) DispatchFault("opcode listed twice", route.opcode);
    if (route.handlers.empty() && route.transfer == nullptr) {
      DispatchFault("opcode without a handler", route.opcode);
    }
    for (PacketHandler h : route.handlers) {
      if (h == nullptr) DispatchFault("empty handler", route.opcode);
    }
    index->routes.push_back(route);
    index->byOpcode[route.opcode] = static_cast<uint32_t>(index->routes.size());
  }
  for (Work w : table.drained) {
    if (w == nullptr) DispatchFault("empty drained function", 0);
  }
  index->drained = table.drained;
  std::lock_guard lock(TheHooks().mu);
  TheHooks().dispatch = std::move(index);
  TheHooks().dispatchVersion.fetch_add(1, std::memory_order_acq_rel);
}

void SetTransferHandler(PacketHandler handler) {
  TheHooks().transfer.store(handler, std::memory_order_release);
}

QueueRoute ClassifyReceived(const ReceivedPacket& packet) {
  QueueRoute to;
  if (packet.fromTransferSocket) {
    to.transferQueue = true;
    return to;
  }
  const PacketRoute* route = CachedDispatch().Find(packet.opcode);
  if (route == nullptr) {
    TheHooks().unrouted.fetch_add(1, std::memory_order_relaxed);
    return to;
  }
  if (!route->anyCookie && packet.cookie != Config().magicCookie.load(std::memory_order_relaxed)) {
    TheHooks().foreignCookie.fetch_add(1, std::memory_order_relaxed);
    if (route->badCookie != nullptr) route->badCookie(packet);
    return to;
  }
  to.packetQueue = !route->handlers.empty();
  to.transferQueue =
      route->transfer != nullptr && (route->awaited == nullptr || route->awaited(packet));
  return to;
}

const AgentRecord* DecodedBody(const uint8_t* packet, size_t length, AgentRecord& scratch,
                               CarriedFields* carried) {
  const ReceivedPacket* current = t_body.packet;
  if (current != nullptr && packet == current->data &&
      length == static_cast<size_t>(std::max(current->length, 0))) {
    if (!t_body.decoded) {
      t_body.record = AgentRecord{};
      t_body.ok =
          DecodeAgentPacket(packet, length, t_body.record, t_body.carried) == DecodeOutcome::kOk;
      t_body.decoded = true;
    }
    if (carried != nullptr) *carried = t_body.carried;
    return t_body.ok ? &t_body.record : nullptr;
  }
  scratch = AgentRecord{};
  CarriedFields unused;
  return DecodeAgentPacket(packet, length, scratch, carried != nullptr ? *carried : unused) ==
                 DecodeOutcome::kOk
             ? &scratch
             : nullptr;
}

uint64_t UnroutedDatagrams() { return TheHooks().unrouted.load(std::memory_order_relaxed); }
uint64_t ForeignCookieDatagrams() {
  return TheHooks().foreignCookie.load(std::memory_order_relaxed);
}

void SetEnginePass(EnginePass pass, void (*work)()) {
  if (pass == EnginePass::kCount) return;
  TheHooks().passes[static_cast<size_t>(pass)].store(work, std::memory_order_release);
}

void AddStopCleanup(void (*cleanup)()) {
  if (cleanup == nullptr) return;
  std::lock_guard lock(TheHooks().mu);
  TheHooks().cleanups.push_back(cleanup);
}

void ClearEngineHooks() {
  Hooks& h = TheHooks();
  {
    std::lock_guard lock(h.mu);
    h.dispatch = std::make_shared<DispatchIndex>();
    h.dispatchVersion.fetch_add(1, std::memory_order_acq_rel);
    h.cleanups.clear();
  }
  h.transfer.store(nullptr);
  for (auto& p : h.passes) p.store(nullptr);
}

}  // namespace ferro
