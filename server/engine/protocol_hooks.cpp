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
    // Every opcode the engine takes, the side it goes to and what handles
    // it, in order; nothing else routes a received datagram. Any reply from
    // a watched agent also refreshes its record, after the handler of its
    // own kind. A discovery reply that an upload awaits (it looks for its
    // agent again after the reboot) goes to the transfer side as well; an
    // upgrade reply goes there only.
    SetPacketDispatch(PacketDispatch{
        .routes =
            {
                {.opcode = kOpDiscoverReply,
                 .handlers = {HandleDiscoveryReply, RefreshWatchedAgent},
                 .transfer =
                     [](const ReceivedPacket& packet) {
                       HandleRediscoveryReply(packet);
                       ReportUploadChanges();
                     },
                 .awaited = IsRediscoveryAwaited},
                {.opcode = kOpLoaderDiscoverReply,
                 .handlers = {HandleDiscoveryReply, RefreshWatchedAgent}},
                {.opcode = kOpSetByMacReply,
                 .handlers = {HandleCommandReply, RefreshWatchedAgent},
                 .badCookie = ReportInvalidCommandReply},
                {.opcode = kOpSetByIpReply,
                 .handlers = {HandleCommandReply, RefreshWatchedAgent},
                 .badCookie = ReportInvalidCommandReply},
                {.opcode = kOpLoaderCommandReply,
                 .handlers = {HandleCommandReply, RefreshWatchedAgent},
                 .badCookie = ReportInvalidCommandReply},
                {.opcode = kOpRestoreDefaultReply,
                 .handlers = {HandleCommandReply, RefreshWatchedAgent},
                 .badCookie = ReportInvalidCommandReply},
                {.opcode = kOpKeepAliveReply, .handlers = {RefreshWatchedAgent}},
                {.opcode = kOpTrap, .handlers = {HandleTrapPacket}},
                {.opcode = kOpTrapTlv, .handlers = {HandleTrapPacket}},
                {.opcode = kOpUpgradeReply,
                 .handlers = {},
                 .transfer =
                     [](const ReceivedPacket& packet) {
                       HandleUpgradeReply(packet);
                       ReportUploadChanges();
                     }},
            },
        .drained = {ReportDroppedTraps},
    });
    SetEnginePass(EnginePass::kMonitorPoll, MonitorPollAndSummaries);
    SetEnginePass(EnginePass::kActionExpiry, ExpireActions);
    SetEnginePass(EnginePass::kDevSetTimeout, [] {
      CheckDeviceSetTimeouts();
      ReportFinishedDiscoveries();
    });
    AddStopCleanup([] { ClearWatchedAgents(); });
    // Uploads: the TFTP answers from the transfer sockets, the
    // once-a-second waits, and at stop the uploads with their static ARP
    // entries (pinned entries must not outlive the engine).
    SetTransferHandler([](const ReceivedPacket& packet) {
      HandleTftpPacket(packet);
      ReportUploadChanges();
    });
    SetEnginePass(EnginePass::kUpgradeTick, [] {
      UpgradeTick();
      ReportUploadChanges();
    });
    AddStopCleanup([] { ClearUploads(); });
  });
}

}  // namespace ferro
