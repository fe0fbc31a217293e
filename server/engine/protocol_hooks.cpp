#include "engine/protocol_hooks.h"

#include <mutex>

#include "engine/discovery.h"
#include "engine/engine.h"
#include "engine/monitoring.h"
#include "engine/traps.h"
#include "protocol/packet.h"

namespace ferro {

void InstallEngineProtocol() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Discovery replies, then the refresh of a watched agent that sent one.
    for (uint16_t op : {kOpDiscoverReply, kOpLoaderDiscoverReply}) {
      AddPacketHandler(op, HandleDiscoveryReply);
      AddPacketHandler(op, RefreshWatchedAgent);
    }
    for (uint16_t op :
         {kOpSetByMacReply, kOpSetByIpReply, kOpLoaderCommandReply, kOpRestoreDefaultReply}) {
      AddPacketHandler(op, HandleCommandReply);
      AddPacketHandler(op, RefreshWatchedAgent);
    }
    AddPacketHandler(kOpKeepAliveReply, RefreshWatchedAgent);
    AddPacketHandler(kOpTrap, HandleTrapPacket);
    AddPacketHandler(kOpTrapTlv, HandleTrapPacket);
    SetEnginePass(EnginePass::kMonitorPoll, MonitorPollPass);
    SetEnginePass(EnginePass::kActionExpiry, ExpireActions);
    AddStopCleanup([] { ClearWatchedAgents(); });
  });
}

}  // namespace ferro
