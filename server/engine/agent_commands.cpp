#include "engine/agent_commands.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "engine/discovery.h"
#include "net/transport.h"
#include "protocol/agent_encoder.h"
#include "protocol/packet.h"

namespace ferro {
namespace {

// Loader commands are for agents that announce them: interface version 4,
// or bit 31 of the first function word.
constexpr uint16_t kLoaderInterfaceVer = 4;
constexpr uint32_t kLoaderCommandFlag = 0x80000000u;

bool TakesLoaderCommands(const AgentRecord& agent) {
  return agent.isLoaderMode == 1 && (agent.agentInterfaceVer == kLoaderInterfaceVer ||
                                     (agent.funBitmap0 & kLoaderCommandFlag) != 0);
}

// With DHCP the agent keeps the address it was given, so the address items
// go out as zero.
int AddressKind(const AgentRecord& agent) {
  return agent.dhcpMode == 1 ? kEncodeDhcp : kEncodeStatic;
}

template <size_t N>
std::string_view FieldText(const char (&field)[N]) {
  return {field, strnlen(field, N)};
}

}  // namespace

CommandOpcodes SelectCommandOpcodes(AgentCommand command, const AgentRecord& agent,
                                    int32_t unicast) {
  CommandOpcodes op;
  if (TakesLoaderCommands(agent)) {
    op = {kOpLoaderCommand, kOpLoaderCommandReply};
  } else if (command == AgentCommand::kSetRestoreDefault) {
    op = {kOpRestoreDefault, kOpRestoreDefaultReply};
  } else if (unicast != 0) {
    op = {kOpSetByIp, kOpSetByIpReply};
  } else {
    op = {kOpSetByMac, kOpSetByMacReply};
  }
  return op;
}

size_t BuildAgentCommand(AgentCommand command, const AgentRecord& agent, int32_t unicast,
                         uint16_t sequence, uint8_t* packet) {
  BuildPacketHeader(SelectCommandOpcodes(command, agent, unicast).request, packet);
  SetPacketAgentMac(packet, agent.macAddr);
  SetPacketSequence(packet, sequence);
  size_t body = 0;
  switch (command) {
    case AgentCommand::kSetCfg:
    case AgentCommand::kSetRestoreDefault:
      body = EncodeAgentTlvs(agent, AddressKind(agent), packet);
      break;
    case AgentCommand::kSetPassword:
      body = AppendPasswordTlvs(FieldText(agent.oldPassword), FieldText(agent.newPasseord), packet);
      break;
    case AgentCommand::kSetCfgNoAddress:
      body = EncodeAgentTlvs(agent, kEncodeDhcp, packet);
      break;
  }
  return kPacketHeaderSize + body;
}

int32_t SendAgentCommand(AgentCommand command, const AgentRecord& agent, int32_t unicast,
                         ActionCallback callback, void* param, const uint8_t* unicastTo) {
  uint8_t packet[kMaxPacketSize] = {};
  const uint16_t sequence = NextSequence();
  const size_t length = BuildAgentCommand(command, agent, unicast, sequence, packet);

  std::unique_ptr<ActionEntry> entry(new (std::nothrow) ActionEntry);
  if (!entry) return 0;
  const CommandOpcodes op = SelectCommandOpcodes(command, agent, unicast);
  entry->timeoutMs = kCommandTimeoutMs;
  entry->requestOpcode = op.request;
  entry->replyOpcode = op.reply;
  entry->sequence = sequence;
  std::memcpy(entry->agentMac.data(), agent.macAddr, kMacSize);
  entry->callback = callback;
  entry->param = param;
  // In the list before the request leaves, so that no reply can miss it.
  RegisterAction(std::move(entry));

  if (unicast != 0) {
    uint32_t address;
    std::memcpy(&address, unicastTo != nullptr ? unicastTo : agent.agentIpAddr, sizeof address);
    return SendToAgent(address, packet, length);
  }
  return SendToAll(packet, length);
}

int32_t SetCfgToAgent(const AgentRecord& agent, int32_t unicast, ActionCallback callback,
                      void* param, const uint8_t* unicastTo) {
  const int32_t sent =
      SendAgentCommand(AgentCommand::kSetCfg, agent, unicast, callback, param, unicastTo);
  std::printf("SetCfgToAgent return = %d\n", sent);
  std::fflush(stdout);
  return sent;
}

int32_t SetPasswordToAgent(const AgentRecord& agent, int32_t unicast, ActionCallback callback,
                           void* param, const uint8_t* unicastTo) {
  return SendAgentCommand(AgentCommand::kSetPassword, agent, unicast, callback, param, unicastTo);
}

int32_t SetCfgNoAddressToAgent(const AgentRecord& agent, int32_t unicast, ActionCallback callback,
                               void* param, const uint8_t* unicastTo) {
  return SendAgentCommand(AgentCommand::kSetCfgNoAddress, agent, unicast, callback, param,
                          unicastTo);
}

int32_t SetRestoreDefaultToAgent(const AgentRecord& agent, int32_t unicast, ActionCallback callback,
                                 void* param, const uint8_t* unicastTo) {
  const int32_t sent = SendAgentCommand(AgentCommand::kSetRestoreDefault, agent, unicast, callback,
                                        param, unicastTo);
  std::printf("SetRestoreDefaultToAgent return = %d\n", sent);
  std::fflush(stdout);
  return sent;
}

}  // namespace ferro
