#include "engine/device_set.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "engine/agent_commands.h"
#include "engine/discovery.h"
#include "engine/engine.h"
#include "engine/engine_state.h"
#include "engine/events.h"
#include "engine/monitoring.h"
#include "engine/notices.h"
#include "platform/tick.h"
#include "protocol/agent_decoder.h"
#include "protocol/packet.h"

namespace ferro {
namespace {

// Guarded by SetVecLock(); in start order. Never destroyed, so that an engine
// thread still running at process exit never meets a dead list.
std::vector<OperateNode>& g_setVec = *new std::vector<OperateNode>;

constexpr char kDeviceSetNotice[] = "device_set";

// The outcome counts; each changes under SetVecLock but is read without it.
struct OutcomeCounters {
  std::atomic<uint64_t> ok{0};
  std::atomic<uint64_t> agentError{0};
  std::atomic<uint64_t> timedOut{0};
  std::atomic<uint64_t> refused{0};
};
OutcomeCounters g_outcomes;

void Count(std::atomic<uint64_t>& counter) { counter.fetch_add(1, std::memory_order_relaxed); }

void Log(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

void LogSize(const char* where, size_t size) {
  std::printf("in %s, g_setVec.size = %d\n", where, static_cast<int>(size));
  std::fflush(stdout);
}

const char* OperateName(int32_t operate) {
  switch (operate) {
    case kOperateSetCfg:
      return "set_config";
    case kOperateSetPassword:
      return "set_password";
    case kOperateSetCfgNoAddress:
      return "set_config_no_address";
    case kOperateRestoreDefault:
      return "restore_defaults";
    default:
      return "none";
  }
}

// The record the server knew of the agent before the operation: the
// discovered one, else the watched one; nothing when it knows neither.
bool KnownRecord(const uint8_t* mac, AgentRecord& out) {
  std::vector<AgentRecord> discovered;
  CopyDiscoveryList(discovered);
  for (const AgentRecord& r : discovered) {
    if (std::memcmp(r.macAddr, mac, kMacSize) == 0) {
      out = r;
      return true;
    }
  }
  WatchedAgent node;
  for (size_t i = 0; GetWatchedAgent(i, node) != 0; ++i) {
    if (std::memcmp(node.record.macAddr, mac, kMacSize) == 0) {
      out = node.record;
      return true;
    }
  }
  return false;
}

std::string AgentLabel(const AgentRecord& agent) {
  const std::string name = RecordText(agent.systemName, sizeof agent.systemName);
  const std::string address = AddressText(agent.agentIpAddr);
  return name.empty() ? address : name + " (" + address + ")";
}

void EmitStarted(const AgentRecord& agent, int32_t operate) {
  EngineEvent event;
  event.kind = "set_started";
  event.mac = MacOf(agent.macAddr);
  event.address = AddressText(agent.agentIpAddr);
  AgentRecord known;
  // Without a known record, every field sent counts as changed from nothing.
  const bool isKnown = KnownRecord(agent.macAddr, known);
  if (!isKnown) known = AgentRecord{};
  nlohmann::json changes = operate == kOperateSetCfg || operate == kOperateSetCfgNoAddress ||
                                   operate == kOperateSetPassword
                               ? ChangedFields(known, agent)
                               : nlohmann::json::array();
  event.text = std::string(OperateName(operate)) + " on " + AgentLabel(isKnown ? known : agent) +
               (changes.empty() ? "" : ": " + std::to_string(changes.size()) + " field(s) change");
  event.fields = {{"operate", OperateName(operate)},
                  {"operate_code", operate},
                  {"changes", std::move(changes)}};
  EmitEvent(std::move(event));
}

EngineEvent OutcomeEvent(const OperateNode& node) {
  EngineEvent event;
  event.kind = "set_outcome";
  event.mac = MacOf(node.agent.macAddr);
  event.address = AddressText(node.agent.agentIpAddr);
  const bool timedOut = node.result == kOperateTimedOut;
  // What a result means is the agent's business; 0 is its usual "done".
  const std::string resultText =
      timedOut           ? "timed out: no answer in " + std::to_string(node.timeoutMs / 1000) + " s"
      : node.result == 0 ? "the agent answered 0 (done)"
                         : "the agent answered " + std::to_string(node.result);
  event.text =
      std::string(OperateName(node.operate)) + " on " + AgentLabel(node.agent) + ": " + resultText;
  event.fields = {{"operate", OperateName(node.operate)},
                  {"operate_code", node.operate},
                  {"result", node.result},
                  {"result_text", resultText},
                  {"timed_out", timedOut}};
  return event;
}

}  // namespace

int32_t StartDeviceSet(const AgentRecord& agent, int32_t operate, int32_t unicast,
                       const uint8_t* unicastTo) {
  // Recorded before the request leaves, so that a reply always finds it.
  if (AddOperateNode(agent, operate) == 0) return 0;
  if (EventsWanted()) EmitStarted(agent, operate);
  int32_t sent = 0;
  switch (operate) {
    case kOperateSetCfg:
      sent = SetCfgToAgent(agent, unicast, DevSetCallback, nullptr, unicastTo);
      break;
    case kOperateSetPassword:
      sent = SetPasswordToAgent(agent, unicast, DevSetCallback, nullptr, unicastTo);
      break;
    case kOperateSetCfgNoAddress:
      sent = SetCfgNoAddressToAgent(agent, unicast, DevSetCallback, nullptr, unicastTo);
      break;
    case kOperateRestoreDefault:
      sent = SetRestoreDefaultToAgent(agent, unicast, DevSetCallback, nullptr, unicastTo);
      break;
    default:
      break;  // nothing to send: the operation ends as timed out
  }
  return sent != 0 ? 1 : 0;
}

int32_t AddOperateNode(const AgentRecord& agent, int32_t operate) {
  Log("AddOperateNode begine \n");
  OperateNode node;
  node.agent = agent;
  node.operate = operate;
  node.result = kOperatePending;
  node.timeoutMs = kDeviceSetTimeoutMs;
  std::lock_guard lock(SetVecLock());
  node.startTick = GetTick();
  if (g_setVec.size() >= kMaxOperateNodes) {
    // Clients that read outcomes from the event history never collect them
    // here, so finished operations make room, oldest first; only a list of
    // operations all still waiting refuses a new one.
    const auto finished = std::find_if(g_setVec.begin(), g_setVec.end(), [](const OperateNode& n) {
      return n.result != kOperatePending;
    });
    if (finished == g_setVec.end()) {
      Log("AddOperateNode: too many device-set operations waiting, refused\n");
      Count(g_outcomes.refused);
      return 0;
    }
    g_setVec.erase(finished);
    Log("AddOperateNode: the oldest finished operation made room\n");
  }
  g_setVec.push_back(node);
  LogSize("AddOperateNode", g_setVec.size());
  return 1;
}

int32_t GetOperateResult(std::vector<OperateNode>& out) {
  std::lock_guard lock(SetVecLock());
  // One pass that keeps the pending nodes in order and moves the others out.
  size_t kept = 0;
  size_t remaining = g_setVec.size();
  for (size_t i = 0; i < g_setVec.size(); ++i) {
    if (g_setVec[i].result == kOperatePending) {
      if (kept != i) g_setVec[kept] = g_setVec[i];
      ++kept;
      continue;
    }
    out.push_back(g_setVec[i]);
    LogSize("GetOperateResult", --remaining);
  }
  g_setVec.resize(kept);
  return 1;
}

int32_t DevSetCallback(const uint8_t* packet, int32_t length, void*) {
  Log("DevSetCallback begine !\n");
  const size_t size = static_cast<size_t>(std::max(length, 0));
  const PacketHeader header = ParsePacketHeader(packet, size);
  const int32_t result = PacketU16(packet, size, kHdrResult);

  // What the agent reports replaces what was sent; a reply that carries only
  // some items (or none) leaves the other fields as they were, so a bare
  // header never blanks the outcome or the discovered entry. A malformed
  // reply is dropped: the operation still waits. The body is decoded once
  // and merged into each record it concerns.
  AgentRecord scratch;
  CarriedFields carried;
  const AgentRecord* reply = DecodedBody(packet, size, scratch, &carried);
  if (reply == nullptr) return 1;
  int notices = 0;
  std::vector<EngineEvent> events;
  AgentRecord lastMerged{};
  {
    std::lock_guard lock(SetVecLock());
    LogSize("DevSetCallback", g_setVec.size());
    // Every pending operation of this agent ends with this one reply.
    for (OperateNode& node : g_setVec) {
      if (node.result != kOperatePending ||
          std::memcmp(node.agent.macAddr, header.agentMac, kMacSize) != 0) {
        continue;
      }
      node.result = result;
      CopyCarriedFields(*reply, carried, node.agent);
      Count(result == 0 ? g_outcomes.ok : g_outcomes.agentError);
      if (EventsWanted()) events.push_back(OutcomeEvent(node));
      lastMerged = node.agent;
      ++notices;
    }
    if (notices != 0) UpdateDiscoveryEntry(*reply, carried);
  }
  if (notices != 0 && EventsWanted()) EmitAgentNote(AnsweredNote(header.agentMac, &lastMerged, 0));
  for (EngineEvent& e : events) EmitEvent(std::move(e));
  // One notice per completed operation, sent without the list's lock so that
  // a slow user interface never holds up the engine.
  for (int i = 0; i < notices; ++i) SendNotice(kDeviceSetNotice);
  return 1;
}

int32_t CheckDeviceSetTimeouts() {
  bool timedOut = false;
  std::vector<EngineEvent> events;
  {
    std::lock_guard lock(SetVecLock());
    // Read under the lock: a node added meanwhile is never "in the future".
    const uint32_t now = GetTick();
    for (OperateNode& node : g_setVec) {
      if (node.result == kOperatePending && TickSince(now, node.startTick) > node.timeoutMs) {
        Log("device set timeout !\n");
        node.result = kOperateTimedOut;
        timedOut = true;
        Count(g_outcomes.timedOut);
        if (EventsWanted()) events.push_back(OutcomeEvent(node));
      }
    }
  }
  for (EngineEvent& e : events) EmitEvent(std::move(e));
  if (timedOut) SendNotice(kDeviceSetNotice);
  return 1;
}

DeviceSetOutcomes CountDeviceSetOutcomes() {
  DeviceSetOutcomes out;
  out.ok = g_outcomes.ok.load(std::memory_order_relaxed);
  out.agentError = g_outcomes.agentError.load(std::memory_order_relaxed);
  out.timedOut = g_outcomes.timedOut.load(std::memory_order_relaxed);
  out.refused = g_outcomes.refused.load(std::memory_order_relaxed);
  return out;
}

size_t OperateNodeCount() {
  std::lock_guard lock(SetVecLock());
  return g_setVec.size();
}

void ClearOperateNodes() {
  std::lock_guard lock(SetVecLock());
  g_setVec.clear();
}

}  // namespace ferro
