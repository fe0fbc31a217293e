#include "engine/traps.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <tuple>

#include "engine/events.h"
#include "engine/notices.h"
#include "platform/diag.h"
#include "platform/memory.h"
#include "platform/tick.h"
#include "protocol/agent_decoder.h"
#include "protocol/packet.h"

namespace ferro {
namespace {

// Traps dropped to make room since the last report, and when that report
// was printed; guarded by TrapRecordLock. Reports come at most once a
// second: what a flood drops meanwhile is added to the next one.
uint32_t g_trapsDropped = 0;
uint32_t g_lastDropReport = 0;
bool g_dropReported = false;
constexpr uint32_t kDropReportIntervalMs = 1000;

// Any host that knows the cookie can send traps as fast as the network
// carries them: their lines are limited (platform/diag.h).
DiagLimit& TrapReceivedLines() {
  static DiagLimit lines("recv a trap packet");
  return lines;
}
DiagLimit& TrapNumberLines() {
  static DiagLimit lines("receive trap number");
  return lines;
}
// Draining a list this long hands its memory back to the system.
constexpr size_t kLargeTrapList = 1000;

inline constexpr size_t kTrapAddressOffset = 40;
inline constexpr size_t kTrapTextOffset = 44;

void FormatAddress(const uint8_t* a, char (&out)[20]) {
  std::snprintf(out, sizeof out, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
}

// Copies a NUL-terminated text of at most `n` bytes into `dst`, cut to fit.
template <size_t N>
void CopyText(char (&dst)[N], const char* src, size_t n) {
  const size_t len = std::min({n, N - 1, static_cast<size_t>(std::find(src, src + n, '\0') - src)});
  std::memcpy(dst, src, len);
  dst[len] = '\0';
}

KeyedCounters& TrapCounters() {
  static KeyedCounters counters(kTrapCountedAgents);
  return counters;
}

// The trap as an event: every field it carries. A TLV trap also names the
// agent's model, name and firmware when it sends them.
void EmitTrapEvent(const uint8_t* packet, size_t size, uint16_t opcode, const TrapRecord& trap,
                   const AgentRecord& record) {
  const PacketHeader header = ParsePacketHeader(packet, size);
  EngineEvent event;
  event.kind = "trap";
  event.mac = MacOf(header.agentMac);
  event.address = trap.ip;
  event.text = RecordText(trap.string, sizeof trap.string);
  event.fields = {{"trap_type", opcode},
                  {"trap_name", opcode == kOpTrapTlv ? "tlv" : "plain"},
                  {"message", event.text},
                  {"ip", trap.ip}};
  if (opcode == kOpTrapTlv) {
    event.fields["location"] = RecordText(record.location, sizeof record.location);
    for (const auto& [key, field, n] :
         {std::tuple{"name", record.systemName, sizeof record.systemName},
          std::tuple{"model", record.productName, sizeof record.productName},
          std::tuple{"firmware", record.fwVersion, sizeof record.fwVersion}}) {
      if (field[0] != '\0') event.fields[key] = RecordText(field, n);
    }
  }
  EmitEvent(std::move(event));
}

}  // namespace

const KeyedCounters& TrapsByAgent() { return TrapCounters(); }

// The MAC's 48 bits with bit 48 set, so that the zero MAC has a key too.
uint64_t TrapCounterKey(const uint8_t* mac) {
  uint64_t key = 1;
  for (size_t i = 0; i < kMacSize; ++i) key = (key << 8) | mac[i];
  return key;
}

void TrapCounterMac(uint64_t key, uint8_t* mac) {
  for (size_t i = kMacSize; i-- > 0; key >>= 8) mac[i] = static_cast<uint8_t>(key);
}

void HandleTrapPacket(const ReceivedPacket& packet) {
  TrapReceivedLines().Print("recv a trap packet. \n");
  TrapCounters().Add(TrapCounterKey(packet.agentMac));
  const TrapCallbackSlot slot = GetTrapCallback();
  if (slot.function != nullptr) slot.function(packet.data, packet.length, slot.param);
}

int32_t TrapCallback(const uint8_t* packet, int32_t length, void*) {
  const size_t size = static_cast<size_t>(std::max(length, 0));
  const uint16_t opcode = PacketU16(packet, size, kHdrOpcode);
  TrapRecord trap;
  AgentRecord record{};
  if (opcode == kOpTrapTlv) {
    if (DecodeAgentPacket(packet, size, record) != DecodeOutcome::kOk) return 1;  // malformed
    CopyText(trap.location, record.location, sizeof record.location);
    CopyText(trap.string, record.trapMessage, sizeof record.trapMessage);
    FormatAddress(record.agentIpAddr, trap.ip);
  } else {
    uint8_t address[4] = {};
    PacketBytes(packet, size, kTrapAddressOffset, address, sizeof address);
    FormatAddress(address, trap.ip);
    // The text runs to its NUL or to the end of the datagram; a longer text
    // than the record holds is cut to 255 characters.
    if (size > kTrapTextOffset) {
      CopyText(trap.string, reinterpret_cast<const char*>(packet) + kTrapTextOffset,
               size - kTrapTextOffset);
    }
  }
  FormatLocalTime(trap.time, sizeof trap.time);
  {
    std::lock_guard lock(TrapRecordLock());
    auto& list = TrapRecordList();
    // A host that floods traps must not grow the list without end: the
    // oldest records make room, counted for ReportDroppedTraps.
    if (list.size() >= kMaxTrapRecords) {
      list.pop_front();
      ++g_trapsDropped;
    }
    list.push_back(trap);
  }
  const uint32_t count = ++TrapCount();
  TrapNumberLines().Print("receive trap number : %u \n", count);
  if (EventsWanted()) EmitTrapEvent(packet, size, opcode, trap, record);
  SendNotice("trap");
  return 1;
}

int FormatLocalTime(char* buffer, size_t size) {
  if (size == 0) return 0;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  std::snprintf(buffer, size, "%04d/%02d/%02d %02d:%02d:%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return 0;
}

int TakeAllTraps(std::vector<TrapRecord>& out) {
  std::deque<TrapRecord> taken;
  {
    std::lock_guard lock(TrapRecordLock());
    taken.swap(TrapRecordList());
  }
  out.insert(out.end(), taken.begin(), taken.end());
  const bool large = taken.size() >= kLargeTrapList;
  taken = {};
  if (large) ReleaseFreeMemory();
  return 1;
}

void ReportDroppedTraps() {
  uint32_t dropped = 0;
  {
    std::lock_guard lock(TrapRecordLock());
    const uint32_t now = GetTick();
    if (g_dropReported && !TickElapsed(now, g_lastDropReport, kDropReportIntervalMs)) return;
    std::swap(dropped, g_trapsDropped);
    if (dropped != 0) {
      g_lastDropReport = now;
      g_dropReported = true;
    }
  }
  if (dropped != 0) {
    Diag("trap list holds %zu records: %u oldest traps dropped\n", kMaxTrapRecords, dropped);
  }
}

}  // namespace ferro
