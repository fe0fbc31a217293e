// Fuzzes an upload with whatever the network may send: the input is a
// sequence of events (TFTP datagrams from the agent or a stranger, upgrade
// and discovery replies, clock steps) played against one running upload.
// Nothing may crash, and the upload's counters must stay consistent.
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "config/config_values.h"
#include "engine/engine_state.h"
#include "engine/tftp_client.h"
#include "engine/upgrade.h"
#include "net/adapters.h"
#include "net/transport.h"
#include "platform/tick.h"

namespace {

using namespace ferro;

constexpr uint8_t kMac[kMacSize] = {0x02, 0x46, 0x4C, 0, 0, 1};
const uint32_t kAgent = inet_addr("10.0.0.10");

int Discard(const UdpSocket&, uint32_t, uint16_t, const uint8_t*, size_t) { return 0; }

class NoSockets : public SocketOpener {
 public:
  SocketRef Open(SocketKind kind, uint32_t, const AdapterSocketSet&) override {
    return std::make_shared<UdpSocket>(-1, kind);
  }
};

ManualTickSource& Clock() {
  static ManualTickSource clock(1000);
  return clock;
}

// One adapter without real sockets, a 3000-byte file, sends discarded.
void SetUpOnce() {
  SetTickSource(&Clock());
  SetDatagramSender(Discard);
  Config().magicCookie = 0;
  std::vector<AdapterEntry> adapters(1);
  adapters[0].macLength = 6;
  adapters[0].ifName = "fl-none0";
  adapters[0].ipList.push_back(IpEntry{inet_addr("10.0.0.1"), inet_addr("255.255.255.0"), false});
  static NoSockets opener;
  ReconcileAdapters(adapters, opener);
  static char name[] = "/tmp/fl-fuzz-upload-XXXXXX";
  const int fd = mkstemp(name);
  std::vector<uint8_t> bytes(3000, 0x5A);
  if (fd < 0 || write(fd, bytes.data(), bytes.size()) != 3000) std::abort();
  close(fd);
  std::atexit([] { unlink(name); });
  SetUpgradeFilePath(name);
  SetUpgradeType("firmware");
  SetUpgradeEncryptKey("");
  SetUpgradeFileSize(3000);
}

ReceivedPacket Protocol(uint16_t opcode, uint16_t sequence, uint16_t result, const uint8_t* tail,
                        size_t tailLength) {
  uint8_t b[kMaxPacketSize] = {};
  BuildPacketHeader(opcode, 0, b);
  SetPacketSequence(b, sequence);
  SetPacketAgentMac(b, kMac);
  StoreBe16(b + kHdrResult, result);
  const size_t n = std::min(tailLength, kMaxPacketSize - kPacketHeaderSize);
  std::memcpy(b + kPacketHeaderSize, tail, n);
  return *MakeReceivedPacket(b, kPacketHeaderSize + n, kAgent, 64515, false);
}

void Check() {
  std::lock_guard lock(TftpSessionLock());
  for (const auto& u : TftpSessionList()) {
    if (u->transmitedSize > u->fwFileSize || u->transmitedSize > u->blockCounter * 512)
      std::abort();
    if (u->upgradeStatus < 0 || u->upgradeStatus > kUploadFailed || u->upgradeStatus == 8) {
      std::abort();
    }
    if (u->restartCount > kRestartLimit) std::abort();
    if ((u->upgradeStatus == kUploadDone || u->upgradeStatus == kUploadFailed) && u->isupgrading) {
      std::abort();
    }
  }
}

uint16_t Sequence() {
  std::lock_guard lock(TftpSessionLock());
  return TftpSessionList().empty() ? 0 : TftpSessionList().front()->requestSequence;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::once_flag once;
  std::call_once(once, SetUpOnce);
  ClearUploads();
  AgentRecord agent{};
  std::memcpy(agent.macAddr, kMac, kMacSize);
  std::memcpy(agent.agentIpAddr, &kAgent, 4);
  agent.upgradeRebootTime = 2;
  agent.upgradeEreaseFlashTime = size > 0 ? data[0] % 4 : 0;
  AddUpload(&agent);
  AddUpload(&agent);
  StartUploads();

  // Each event: a kind byte, a length byte, that many bytes of payload.
  size_t at = 1;
  while (at + 2 <= size) {
    const uint8_t kind = data[at];
    const size_t length = std::min<size_t>(data[at + 1], size - at - 2);
    const uint8_t* payload = data + at + 2;
    at += 2 + length;
    const uint16_t port = length > 0 ? static_cast<uint16_t>(40000 + payload[0] % 3) : 40000;
    switch (kind % 6) {
      case 0:  // a TFTP datagram from the agent
      case 1:  // or from a stranger
        if (length > 0) {
          HandleTftpPacket(*MakeReceivedPacket(payload, length, kind % 6 == 0 ? kAgent : kAgent + 1,
                                               port, true));
        }
        break;
      case 2: {  // an ACK of some block near the current one
        uint8_t ack[4] = {0, 4, 0, 0};
        if (length >= 2) std::memcpy(ack + 2, payload, 2);
        HandleTftpPacket(*MakeReceivedPacket(ack, sizeof ack, kAgent, port, true));
        break;
      }
      case 3:  // the upgrade reply, right sequence, any result
        HandleUpgradeReply(Protocol(kOpUpgradeReply, Sequence(), length > 0 ? payload[0] % 12 : 0,
                                    payload, length));
        break;
      case 4:  // a discovery reply from the agent
        HandleRediscoveryReply(Protocol(kOpDiscoverReply, 3, 0, payload, length));
        break;
      case 5:  // time passes
        Clock().Advance(length > 0 ? payload[0] * 250u : 1000u);
        UpgradeTick();
        break;
    }
    Check();
  }
  UpgradeStatusSnapshot snapshot;
  GetUpgradeSnapshot(kMac, &snapshot);
  return 0;
}
