#pragma once
// Device-set operations: one settings command to one agent, tracked from the
// moment it is started until the user interface collects its outcome. An
// operation is pending until its agent answers (result = the reply's result
// code) or 50 s pass without an answer (result -2); each such change is
// announced with the notice "device_set". Finished operations are handed
// out once, in start order, by GetOperateResult.
//
// The list (g_setVec) is guarded by SetVecLock. The reply callback takes
// DiscoveryListLock inside it (to update the agent's discovered record).

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/agent_record.h"

namespace ferro {

// Operate codes of the device-set operations.
enum Operate : int32_t {
  kOperateSetCfg = 0,
  kOperateSetPassword = 1,
  kOperateSetCfgNoAddress = 2,
  kOperateRestoreDefault = 3,
};

inline constexpr int32_t kOperatePending = -1;
inline constexpr int32_t kOperateTimedOut = -2;
inline constexpr uint32_t kDeviceSetTimeoutMs = 50000;
// Operations held at once (pending or not yet collected). A client that
// never collects cannot make the server grow without end; starting one more
// is refused.
inline constexpr size_t kMaxOperateNodes = 10000;

struct OperateNode {
  AgentRecord agent{};  // as started; replaced whole by the agent's reply
  int32_t operate = 0;
  int32_t result = kOperatePending;  // -1 pending, -2 timed out, else the reply's result
  uint32_t startTick = 0;
  uint32_t timeoutMs = kDeviceSetTimeoutMs;
};

// Records the operation and then sends the command of `operate` (0-3; any
// other code sends nothing and its operation ends as timed out). 1 when the
// command went out, else 0. When the list is full nothing is recorded or
// sent and the result is 0.
// With unicast 1 the command goes to `unicastTo` (the agent's current
// address, 4 bytes in network order) when given, else to the record's own
// address; see SendAgentCommand.
int32_t StartDeviceSet(const AgentRecord& agent, int32_t operate, int32_t unicast,
                       const uint8_t* unicastTo = nullptr);
// Appends a pending operation; 0 only when the list is full.
int32_t AddOperateNode(const AgentRecord& agent, int32_t operate);
// Moves every finished operation, in start order, to the end of `out`;
// pending ones keep their place. Returns 1.
int32_t GetOperateResult(std::vector<OperateNode>& out);
// The reply callback of every device-set command: completes every pending
// operation of the replying agent. Returns 1.
int32_t DevSetCallback(const uint8_t* packet, int32_t length, void* param);
// One pass of the time-out check (DevSetTimeoutThread, every second).
// Returns 1.
int32_t CheckDeviceSetTimeouts();

// How device-set operations ended since the process started: the agent
// answered with result 0 (ok) or another code (agent_error), no answer came
// in time (timed_out), or the operation was refused at its start because the
// list was full (refused). Safe from any thread.
struct DeviceSetOutcomes {
  uint64_t ok = 0;
  uint64_t agentError = 0;
  uint64_t timedOut = 0;
  uint64_t refused = 0;
};
DeviceSetOutcomes CountDeviceSetOutcomes();

// Operations held (tests).
size_t OperateNodeCount();
// Forgets every operation (tests).
void ClearOperateNodes();

}  // namespace ferro
