#include "metrics_report.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <string>

#include "engine/device_set.h"
#include "engine/discovery.h"
#include "engine/engine.h"
#include "engine/monitoring.h"
#include "engine/tftp_client.h"
#include "engine/traps.h"
#include "engine/upgrade.h"
#include "net/packet_queue.h"
#include "net/receive.h"
#include "platform/version.h"
#include "protocol/agent_decoder.h"

namespace ferro {
namespace {

using metrics::Type;

std::atomic<EventCountsProvider> g_eventCounts{nullptr};

std::string MacLabel(uint64_t key) {
  uint8_t mac[kMacSize];
  TrapCounterMac(key, mac);
  char text[18];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return text;
}

void WriteTraps(metrics::Writer& out) {
  const KeyedCounters& traps = TrapsByAgent();
  out.Family("ferrolink_traps_received_total", Type::kCounter,
             "Traps received, by the agent MAC in their header. Only the first " +
                 std::to_string(traps.Limit()) +
                 " agents are counted one by one; traps of later ones count under "
                 "mac=\"other\".");
  traps.ForEach([&](uint64_t key, uint64_t count) {
    const std::string mac = MacLabel(key);
    out.Sample("ferrolink_traps_received_total", {{"mac", mac}}, count);
  });
  out.Sample("ferrolink_traps_received_total", {{"mac", "other"}}, traps.Other());
}

void WriteDatagrams(metrics::Writer& out) {
  out.Family("ferrolink_datagrams_received_total", Type::kCounter,
             "Datagrams received on the engine's sockets.");
  out.Sample("ferrolink_datagrams_received_total", ReceivedDatagrams());
  out.Family("ferrolink_datagrams_malformed_total", Type::kCounter,
             "Agent datagrams whose header or items could not be read, by what was wrong.");
  constexpr std::array<std::pair<DecodeOutcome, const char*>, 3> kReasons = {{
      {DecodeOutcome::kTooShort, "too_short"},
      {DecodeOutcome::kItemOverrun, "item_overrun"},
      {DecodeOutcome::kBadLength, "bad_length"},
  }};
  for (const auto& [outcome, reason] : kReasons) {
    out.Sample("ferrolink_datagrams_malformed_total", {{"reason", reason}},
               MalformedPacketCount(outcome));
  }
  out.Family("ferrolink_datagrams_unrouted_total", Type::kCounter,
             "Datagrams dropped because the server handles no datagram of their opcode.");
  out.Sample("ferrolink_datagrams_unrouted_total", UnroutedDatagrams());
  out.Family("ferrolink_datagrams_dropped_total", Type::kCounter,
             "Datagrams dropped before any handler saw them, by reason: empty or oversized "
             "(bad_size), not carrying the server's cookie (foreign_cookie), or arriving while "
             "a queue was full (packet_queue_full, transfer_queue_full).");
  out.Sample("ferrolink_datagrams_dropped_total", {{"reason", "bad_size"}}, BadSizeDatagrams());
  out.Sample("ferrolink_datagrams_dropped_total", {{"reason", "foreign_cookie"}},
             ForeignCookieDatagrams());
  out.Sample("ferrolink_datagrams_dropped_total", {{"reason", "packet_queue_full"}},
             PacketQueueOf().Dropped());
  out.Sample("ferrolink_datagrams_dropped_total", {{"reason", "transfer_queue_full"}},
             TransferQueueOf().Dropped());
}

}  // namespace

void SetEventCountsProvider(EventCountsProvider provider) {
  g_eventCounts.store(provider, std::memory_order_release);
}

void WriteEngineMetrics(metrics::Writer& out) {
  out.Family("ferrolink_build_info", Type::kGauge, "The server's version; always 1.");
  out.Sample("ferrolink_build_info", {{"version", VersionText()}}, uint64_t{1});
  out.Family("ferrolink_engine_running", Type::kGauge,
             "1 while the engine runs (after EngineLayerStartup), else 0.");
  out.Sample("ferrolink_engine_running", uint64_t{IsEngineRunning() ? 1u : 0u});

  out.Family("ferrolink_agents_discovered", Type::kGauge,
             "Agents in the discovery list (those that answered the latest discovery, and "
             "agents no longer watched).");
  out.Sample("ferrolink_agents_discovered", uint64_t{DiscoveryListSize()});
  const WatchedAgentCounts watched = CountWatchedAgents();
  out.Family("ferrolink_agents_watched", Type::kGauge, "Agents watched with keep-alive polls.");
  out.Sample("ferrolink_agents_watched", uint64_t{watched.watched});
  out.Family("ferrolink_agents_alive", Type::kGauge,
             "Watched agents not counted as dead (dead after three polls in a row without a "
             "reply).");
  out.Sample("ferrolink_agents_alive", uint64_t{watched.alive});

  WriteTraps(out);
  WriteDatagrams(out);

  const DeviceSetOutcomes sets = CountDeviceSetOutcomes();
  out.Family("ferrolink_device_set_operations_total", Type::kCounter,
             "Device-set operations ended, by outcome: the agent answered with result 0 (ok) "
             "or another code (agent_error), no answer came in time (timed_out), or the "
             "operation was refused at its start because too many were held (refused).");
  out.Sample("ferrolink_device_set_operations_total", {{"outcome", "ok"}}, sets.ok);
  out.Sample("ferrolink_device_set_operations_total", {{"outcome", "agent_error"}},
             sets.agentError);
  out.Sample("ferrolink_device_set_operations_total", {{"outcome", "timed_out"}}, sets.timedOut);
  out.Sample("ferrolink_device_set_operations_total", {{"outcome", "refused"}}, sets.refused);

  const UploadCounts uploads = CountUploads();
  out.Family("ferrolink_uploads", Type::kGauge,
             "Uploads in the upload list, by state (a finished upload stays listed until the "
             "list is cleared).");
  out.Sample("ferrolink_uploads", {{"state", "queued"}}, uint64_t{uploads.queued});
  out.Sample("ferrolink_uploads", {{"state", "running"}}, uint64_t{uploads.active});
  out.Sample("ferrolink_uploads", {{"state", "done"}}, uint64_t{uploads.done});
  out.Sample("ferrolink_uploads", {{"state", "failed"}}, uint64_t{uploads.failed});
  out.Family("ferrolink_upload_sent_bytes_total", Type::kCounter,
             "File bytes sent to agents in TFTP data blocks, each block counted once (resends "
             "not counted).");
  out.Sample("ferrolink_upload_sent_bytes_total", UploadBytesSent());

  const EventCountsProvider provider = g_eventCounts.load(std::memory_order_acquire);
  const EventCounts events = provider != nullptr ? provider() : EventCounts{};
  out.Family("ferrolink_events_written_total", Type::kCounter,
             "Events written to the event store.");
  out.Sample("ferrolink_events_written_total", events.written);
  out.Family("ferrolink_events_lost_total", Type::kCounter,
             "Events lost before they were stored (the store's queue full, or its database "
             "unwritable).");
  out.Sample("ferrolink_events_lost_total", events.lost);
}

}  // namespace ferro
