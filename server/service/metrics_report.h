#pragma once
// The engine's side of GET /metrics: what it holds (agents discovered,
// watched and alive; uploads by state) and what it has counted (datagrams,
// traps by agent, device-set outcomes, bytes uploaded, events stored), as
// metric families. main.cpp hands WriteEngineMetrics to the front, which
// adds its own (the SOAP requests) and serves the whole.

#include <cstdint>

#include "platform/metrics_text.h"

namespace ferro {

// Writes every family of the engine's metrics. Each list is read under its
// own lock, one after the other; counters are read without a lock.
void WriteEngineMetrics(metrics::Writer& out);

// Events the event store has written and lost (its queue full, its disk
// failing), for ferrolink_events_written_total and _lost_total. Both read
// as 0 until main.cpp names where they come from.
struct EventCounts {
  uint64_t written = 0;
  uint64_t lost = 0;
};
using EventCountsProvider = EventCounts (*)();
void SetEventCountsProvider(EventCountsProvider provider);

}  // namespace ferro
