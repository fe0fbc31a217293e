#pragma once
// Start, stop and the threads of the engine.
//
// StartEngine loads the configuration and starts the threads in this order:
// AdapterWatchThread (which starts the ReceiveThread after its first pass),
// IgmpReportThread, PacketProcessThread, TransferProcessThread,
// UpgradeTimerThread, MonitorPollThread, ActionExpiryThread. InitDeviceLists
// (once the engine runs, whether or not its configuration loaded) registers
// the trap handler and starts the DevSetTimeoutThread. StopEngine stops
// every thread first, then empties the lists and closes every socket.
//
// The work of the protocol threads is plugged in by later code:
//   SetPacketDispatch(table)       - the router: opcode -> side and handlers
//   SetTransferHandler(fn)         - TransferProcessThread, transfer sockets
//   SetEnginePass(pass, fn)        - the periodic threads' one-pass work
//   AddStopCleanup(fn)             - lists that StopEngine must empty
// Register them before StartEngine (they may also change while it runs).

#include <cstdint>
#include <vector>

#include "engine/engine_state.h"
#include "net/adapters.h"
#include "net/receive.h"
#include "platform/event.h"
#include "protocol/agent_decoder.h"
#include "protocol/agent_record.h"

namespace ferro {

enum class EngineThread {
  kAdapterWatch,
  kReceive,
  kIgmpReport,
  kPacketProcess,
  kTransferProcess,
  kUpgradeTimer,
  kMonitorPoll,
  kActionExpiry,
  kDevSetTimeout,
  kCount,
};
const char* EngineThreadName(EngineThread thread);

// Periods of the engine threads, in ticks.
inline constexpr uint32_t kAdapterWatchPeriodMs = 10000;
inline constexpr uint32_t kIgmpCheckPeriodMs = 1000;
inline constexpr uint32_t kMonitorPollPeriodMs = 1000;
inline constexpr uint32_t kActionExpiryPeriodMs = 30000;
inline constexpr uint32_t kDevSetTimeoutPeriodMs = 1000;
inline constexpr uint32_t kUpgradeTimerPeriodMs = 1000;

// How the engine reaches the machine. The defaults are the production ones;
// a test in the machine's own network namespace must pass an adapter reader
// that yields no adapters and switch the IGMP reports off, so that nothing
// is ever sent there.
struct EngineOptions {
  bool (*readAdapters)(std::vector<AdapterEntry>& out) = ReadAdapters;
  SocketOpener* opener = nullptr;  // nullptr: SystemSocketOpener()
  bool igmpReports = true;
  int (*loadConfig)() = nullptr;  // nullptr: LoadEngineConfig
};

// Starts the engine. 1 when the configuration loaded and the discovery port
// is free, else 0; the engine runs in both cases. While the engine runs, a
// further call starts nothing and returns what the first call returned.
int StartEngine();
int StartEngine(const EngineOptions& options);
// While the engine runs (its configuration loaded or not): registers
// `trapHandler` (parameter 0) and starts the DevSetTimeoutThread. Returns 1
// (0 when the engine is not running); a second call changes nothing.
int InitDeviceLists(TrapCallbackFn trapHandler = nullptr);
// Stops every engine thread (each finishes its current step; waits are cut
// short), then empties the AgentTable-side lists (via the stop cleanups),
// the queues and the ActionList, and closes every socket. Returns 1. The
// engine may then be started again (tests do; the product ends instead).
int StopEngine();

// Safe from any thread, engine threads included.
bool IsEngineRunning();
bool IsEngineThreadRunning(EngineThread thread);
// Completed adapter passes since the engine started.
uint64_t AdapterPassCount();
// Waits at most `ms` for the engine's first adapter pass (which opens the
// sockets every request goes out from); true once it is done.
bool WaitForFirstAdapterPass(uint32_t ms);
// The timer the upgrade scheduler arms; each expiry runs one UpgradeTick
// pass on the UpgradeTimerThread. StopEngine closes it (Arm then fails).
WaitableTimer& UpgradeTimer();

// The dispatch table: the one router of received datagrams. The receive
// thread asks it (ClassifyReceived) which side each datagram goes to; the
// PacketProcessThread runs a route's `handlers` in the order listed, the
// TransferProcessThread its `transfer` handler. Each handler is called with
// no engine lock held. A route with handlers takes the packet side; with a
// transfer handler the transfer side, always or, with `awaited`, only for
// the datagrams it accepts (when both, each side gets a record of its own).
// Every datagram's cookie is checked once, before it is queued: one that is
// not ours is dropped (and shown to the route's `badCookie`, if any). A
// datagram of an opcode without a route is dropped and counted
// (UnroutedDatagrams). After each pass that took the packet queue empty,
// the `drained` functions run (for one summary line about a burst, say).
// Records from a transfer socket carry no header: they all go to the
// transfer side, to the handler given to SetTransferHandler.
using PacketHandler = void (*)(const ReceivedPacket& packet);
using PacketPredicate = bool (*)(const ReceivedPacket& packet);
struct PacketRoute {
  uint16_t opcode = 0;
  std::vector<PacketHandler> handlers;  // the packet side, in order
  PacketHandler transfer = nullptr;     // the transfer side
  PacketPredicate awaited = nullptr;    // transfer side only when this says so
  PacketHandler badCookie = nullptr;    // called on the receive thread
  bool anyCookie = false;               // no cookie check (test tables)
};
struct PacketDispatch {
  std::vector<PacketRoute> routes;
  std::vector<void (*)()> drained;
};
// Replaces the dispatch table. A table that cannot be honoured as written
// (an opcode listed twice, a route without a handler, an empty handler) is
// a fault of the program: it is reported on standard error and the process
// ends, at start-up.
void SetPacketDispatch(const PacketDispatch& table);
// Called on the TransferProcessThread for every record from a transfer socket.
void SetTransferHandler(PacketHandler handler);
// Which queues a received record goes to, by the current table (the
// receive thread's classifier).
QueueRoute ClassifyReceived(const ReceivedPacket& packet);
// Datagrams dropped since the start because no route names their opcode.
uint64_t UnroutedDatagrams();
// Datagrams dropped since the start because their cookie is not ours.
uint64_t ForeignCookieDatagrams();
// The agent record that the `length` bytes at `packet` decode to, from an
// empty record; nullptr when they are malformed. While the
// PacketProcessThread runs the handlers of one datagram, they share one
// decode of its body (a malformed one is counted once); any other bytes are
// decoded into `scratch`. `carried`, when given, receives the fields the
// items set, for merging the body into known records (CopyCarriedFields).
const AgentRecord* DecodedBody(const uint8_t* packet, size_t length, AgentRecord& scratch,
                               CarriedFields* carried = nullptr);

enum class EnginePass {
  kMonitorPoll,    // every 1000 ms
  kActionExpiry,   // at start, then every 30000 ms
  kDevSetTimeout,  // every 1000 ms
  kUpgradeTick,    // at each UpgradeTimer expiry
  kCount,
};
void SetEnginePass(EnginePass pass, void (*work)());
// Run by StopEngine once every thread has stopped, in the order added.
void AddStopCleanup(void (*cleanup)());
// Forgets every handler, pass and cleanup (tests).
void ClearEngineHooks();

}  // namespace ferro
