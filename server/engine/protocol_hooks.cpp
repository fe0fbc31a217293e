#include "engine/protocol_hooks.h"

#include <mutex>

#include "engine/device_set.h"
#include "engine/discovery.h"
#include "engine/engine.h"
#include "engine/monitoring.h"
#include "engine/traps.h"
#include "engine/upgrade.h"
#include "platform/diag.h"
#include "protocol/packet.h"

namespace ferro {
namespace {

// Once a second beside the keep-alives: the summaries that a flood held
// back (traps dropped, log lines suppressed) reach the log even when no
// further datagram comes to bring them out.
void MonitorPollAndSummaries() {
  MonitorPollPass();
  ReportDroppedTraps();
  ReportSuppressedDiag();
}

}  // namespace

void InstallEngineProtocol() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Every opcode the engine handles and what handles it, in order. Any
    // reply from a watched agent also refreshes its record, after the
    // handler of its own kind.
    SetPacketDispatch(PacketDispatch{
        .routes =
            {
                {kOpDiscoverReply, {HandleDiscoveryReply, RefreshWatchedAgent}},
                {kOpLoaderDiscoverReply, {HandleDiscoveryReply, RefreshWatchedAgent}},
                {kOpSetByMacReply, {HandleCommandReply, RefreshWatchedAgent}},
                {kOpSetByIpReply, {HandleCommandReply, RefreshWatchedAgent}},
                {kOpLoaderCommandReply, {HandleCommandReply, RefreshWatchedAgent}},
                {kOpRestoreDefaultReply, {HandleCommandReply, RefreshWatchedAgent}},
                {kOpKeepAliveReply, {RefreshWatchedAgent}},
                {kOpTrap, {HandleTrapPacket}},
                {kOpTrapTlv, {HandleTrapPacket}},
            },
        .drained = {ReportDroppedTraps},
    });
    SetEnginePass(EnginePass::kMonitorPoll, MonitorPollAndSummaries);
    SetEnginePass(EnginePass::kActionExpiry, ExpireActions);
    SetEnginePass(EnginePass::kDevSetTimeout, [] { CheckDeviceSetTimeouts(); });
    AddStopCleanup([] { ClearWatchedAgents(); });
    // Uploads: TFTP answers, upgrade replies and rediscovery replies, the
    // once-a-second waits, and at stop the uploads with their static ARP
    // entries (pinned entries must not outlive the engine).
    SetTransferHandler(HandleTransferRecord);
    SetEnginePass(EnginePass::kUpgradeTick, UpgradeTick);
    AddStopCleanup([] { ClearUploads(); });
  });
}

}  // namespace ferro
