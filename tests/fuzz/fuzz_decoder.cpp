// Fuzzes the agent packet decoder: any datagram must decode without reading
// outside it, leave every text field terminated, and survive re-encoding and
// the SwitchInfo conversions.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/agent_decoder.h"
#include "protocol/agent_encoder.h"
#include "protocol/packet.h"
#include "service/switchinfo_convert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ferro;
  if (size > kMaxPacketSize) return -1;
  // An exact-size copy, so reading past the datagram is caught.
  uint8_t* packet = static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
  if (size > 0) std::memcpy(packet, data, size);
  AgentRecord record = ZeroAgentRecord();
  if (DecodeAgentPacket(packet, size, record) != 1) std::abort();
  std::free(packet);

  if (std::memchr(record.systemName, 0, sizeof record.systemName) == nullptr) std::abort();
  if (std::memchr(record.trapMessage, 0, sizeof record.trapMessage) == nullptr) std::abort();
  if (record.isLoaderMode != 0 && record.isLoaderMode != 1) std::abort();

  uint8_t request[kMaxPacketSize] = {};
  BuildPacketHeader(kOpSetByMac, 0, request);
  const size_t n = EncodeAgentTlvs(record, kEncodeStatic, request);
  if (n > kMaxPacketSize - kPacketHeaderSize) std::abort();
  AgentRecord again = ZeroAgentRecord();
  DecodeAgentPacket(request, kPacketHeaderSize + n, again);

  ns__SwitchInfo info;
  AgentRecordToSwitchInfo(record, info);
  AgentRecord back;
  SwitchInfoToAgentRecord(info, back);
  if (std::memcmp(back.macAddr, record.macAddr, sizeof back.macAddr) != 0) std::abort();
  return 0;
}
