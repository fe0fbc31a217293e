#pragma once
// Commands that change an agent's settings: configuration (with or without
// its address items), password, and a return to factory defaults. Each
// builds one request, registers it in the ActionList (so that the reply,
// matched by sequence, reply opcode and the agent's MAC, reaches `callback`
// on the PacketProcessThread) and sends it without waiting.
//
// unicast 0 addresses the agent by its MAC on every adapter (broadcast and
// multicast); unicast 1 sends to the agent's own IPv4 address. Agents in
// loader mode that take loader commands get opcode 14 whatever the command.

#include <cstddef>
#include <cstdint>

#include "engine/engine_state.h"
#include "protocol/agent_record.h"

namespace ferro {

enum class AgentCommand : uint8_t {
  kSetCfg,             // the configuration the record carries
  kSetPassword,        // old and new password
  kSetCfgNoAddress,    // the configuration with address, netmask and gateway zero
  kSetRestoreDefault,  // back to factory defaults
};

struct CommandOpcodes {
  uint16_t request = 0;
  uint16_t reply = 0;
};

// Request and reply opcodes of `command` for `agent`, the loader-mode
// override applied.
CommandOpcodes SelectCommandOpcodes(AgentCommand command, const AgentRecord& agent,
                                    int32_t unicast);

// Writes the whole request (header with `sequence` and the agent's MAC, then
// the body) into `packet`, a zero-filled buffer of kMaxPacketSize bytes.
// Returns the datagram length.
size_t BuildAgentCommand(AgentCommand command, const AgentRecord& agent, int32_t unicast,
                         uint16_t sequence, uint8_t* packet);

// Builds, registers (before sending) and sends one command. Returns the
// send's result: 1 when at least one socket sent it, 0 when none could (the
// registration then stays and expires), 0 without sending when no entry can
// be made.
//
// A unicast command goes to `unicastTo` (4 bytes, network order) when given,
// else to the record's agentIpAddr. The record is what the agent is told, so
// a command that gives the agent a new address carries the new one, and
// must be sent to the address the agent has now.
int32_t SendAgentCommand(AgentCommand command, const AgentRecord& agent, int32_t unicast,
                         ActionCallback callback, void* param, const uint8_t* unicastTo = nullptr);

int32_t SetCfgToAgent(const AgentRecord& agent, int32_t unicast, ActionCallback callback,
                      void* param, const uint8_t* unicastTo = nullptr);
int32_t SetPasswordToAgent(const AgentRecord& agent, int32_t unicast, ActionCallback callback,
                           void* param, const uint8_t* unicastTo = nullptr);
int32_t SetCfgNoAddressToAgent(const AgentRecord& agent, int32_t unicast, ActionCallback callback,
                               void* param, const uint8_t* unicastTo = nullptr);
int32_t SetRestoreDefaultToAgent(const AgentRecord& agent, int32_t unicast, ActionCallback callback,
                                 void* param, const uint8_t* unicastTo = nullptr);

}  // namespace ferro
