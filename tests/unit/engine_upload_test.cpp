// Uploads on a manual clock without a network: the TFTP exchange, the
// upgrade request and its reply, the reboot wait and rediscovery, every wait
// and retransmission limit, and the failure codes. Sends go to a recorder.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/config_values.h"
#include "engine/engine.h"
#include "engine/engine_state.h"
#include "engine/tftp_client.h"
#include "engine/upgrade.h"
#include "net/adapters.h"
#include "net/receive.h"
#include "net/transport.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "protocol/packet.h"

namespace ferro {
namespace {

struct Sent {
  SocketKind kind;
  uint32_t ip;
  uint16_t port;
  std::vector<uint8_t> bytes;
  uint16_t Op() const { return LoadBe16(bytes.data()); }         // TFTP opcode
  uint16_t Block() const { return LoadBe16(bytes.data() + 2); }  // TFTP block
  uint16_t Header(size_t at) const { return LoadBe16(bytes.data() + at); }
};
std::vector<Sent> g_sent;
// The agents the receive side was told to copy to the transfer side when the
// last discovery request left.
std::vector<RediscoveryWatch::Mac> g_awaitedAtDiscover;

int Record(const UdpSocket& s, uint32_t ip, uint16_t port, const uint8_t* data, size_t n) {
  g_sent.push_back(Sent{s.kind(), ip, port, std::vector<uint8_t>(data, data + n)});
  if (n >= kPacketHeaderSize && LoadBe16(data + kHdrOpcode) == kOpDiscover) {
    g_awaitedAtDiscover = AwaitedRediscoveries().Snapshot();
  }
  return 0;
}

bool Awaited(const uint8_t* mac) {
  const auto macs = AwaitedRediscoveries().Snapshot();
  return std::any_of(macs.begin(), macs.end(), [mac](const RediscoveryWatch::Mac& m) {
    return std::memcmp(m.data(), mac, kMacSize) == 0;
  });
}

class NoSockets : public SocketOpener {
 public:
  SocketRef Open(SocketKind kind, uint32_t, const AdapterSocketSet&) override {
    return std::make_shared<UdpSocket>(-1, kind);
  }
};

constexpr uint8_t kMacA[kMacSize] = {0x02, 0x46, 0x4C, 0, 0, 0x0A};
constexpr uint8_t kMacB[kMacSize] = {0x02, 0x46, 0x4C, 0, 0, 0x0B};
const uint32_t kAgentA = inet_addr("10.0.0.10");
const uint32_t kAgentB = inet_addr("10.0.0.11");
constexpr uint16_t kTid = 40123;

// Writes `bytes` to a new file of this run in the temporary folder; its name.
std::string NewTempFile(const std::vector<uint8_t>& bytes) {
  static std::atomic<int> count{0};
  static const auto run = std::chrono::steady_clock::now().time_since_epoch().count();
  const std::filesystem::path name =
      std::filesystem::temp_directory_path() /
      ("fl-upload-" + std::to_string(run) + "-" + std::to_string(count++));
  std::ofstream out(name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  EXPECT_TRUE(out.good());
  return name.string();
}

AgentRecord Agent(const uint8_t* mac, uint32_t ip, uint32_t reboot = 60, uint32_t erase = 0) {
  AgentRecord r{};
  std::memcpy(r.macAddr, mac, kMacSize);
  std::memcpy(r.agentIpAddr, &ip, 4);
  const uint32_t mask = inet_addr("255.255.255.0");
  std::memcpy(r.agentNetmask, &mask, 4);
  std::strcpy(r.oldPassword, "secret");
  r.upgradeRebootTime = reboot;
  r.upgradeEreaseFlashTime = erase;
  return r;
}

// A datagram from an agent on its transfer port or on the protocol port.
ReceivedPacket Tftp(uint16_t op, uint16_t word, uint32_t from, uint16_t port = kTid) {
  uint8_t b[4];
  StoreBe16(b, op);
  StoreBe16(b + 2, word);
  return *MakeReceivedPacket(b, sizeof b, from, port, true);
}
ReceivedPacket Protocol(uint16_t opcode, uint16_t sequence, const uint8_t* mac,
                        uint16_t result = 0) {
  uint8_t b[kPacketHeaderSize + 8] = {};
  BuildPacketHeader(opcode, 0, b);
  SetPacketSequence(b, sequence);
  SetPacketAgentMac(b, mac);
  StoreBe16(b + kHdrResult, result);
  const uint8_t item[] = {0, 4, 0, 8, 10, 0, 0, 10};  // the agent's address
  std::memcpy(b + kPacketHeaderSize, item, sizeof item);
  return *MakeReceivedPacket(b, sizeof b, kAgentA, 64515, false);
}

class EngineUpload : public ::testing::Test {
 protected:
  void SetUp() override {
    SetTickSource(&clock_);
    Config().magicCookie = 0;
    g_sent.clear();
    SetDatagramSender(Record);
    std::vector<AdapterEntry> adapters(1);
    adapters[0].mac = {0x02, 0xFE, 0, 0, 0, 1, 0, 0};
    adapters[0].macLength = 6;
    adapters[0].ifIndex = 9;
    adapters[0].ifName = "fl-none0";  // no such interface: ARP requests fail harmlessly
    adapters[0].ipList.push_back(IpEntry{inet_addr("10.0.0.1"), inet_addr("255.255.255.0"), false});
    ReconcileAdapters(adapters, opener_);
    ClearUploads();
    UpgradeTimer().Reopen();  // an earlier engine stop closed it
    SetParameters(WriteFile(1024), "firmware");
  }
  void TearDown() override {
    ClearUploads();
    CloseAllSockets();
    SetDatagramSender(nullptr);
    SetTransferMaskOverride(0);
    SetTickSource(nullptr);
    for (const std::string& f : files_) std::remove(f.c_str());
  }

  std::string WriteFile(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 512);
    const std::string name = NewTempFile(bytes);
    files_.push_back(name);
    return name;
  }
  void SetParameters(const std::string& path, const char* type) {
    ASSERT_EQ(SetUpgradeFilePath(path.c_str()), 1);
    ASSERT_EQ(SetUpgradeType(type), 1);
    ASSERT_EQ(SetUpgradeEncryptKey("k3y"), 1);
    ASSERT_EQ(SetUpgradeFileSize(4242), 1);
  }

  TftpSession Upload(size_t index = 0) {
    std::lock_guard lock(TftpSessionLock());
    auto it = TftpSessionList().begin();
    std::advance(it, static_cast<long>(index));
    TftpSession copy;
    copy.isupgrading = (*it)->isupgrading;
    copy.upgradeStatus = (*it)->upgradeStatus;
    copy.restartCount = (*it)->restartCount;
    copy.retryCount = (*it)->retryCount;
    copy.rediscoverCount = (*it)->rediscoverCount;
    copy.blockCounter = (*it)->blockCounter;
    copy.transmitedSize = (*it)->transmitedSize;
    copy.fwFileSize = (*it)->fwFileSize;
    copy.failedCode = (*it)->failedCode;
    copy.requestSequence = (*it)->requestSequence;
    copy.rebootWaitSeconds = (*it)->rebootWaitSeconds;
    return copy;
  }
  int32_t State(size_t index = 0) { return Upload(index).upgradeStatus; }

  // Queues the agent, starts, and answers the upgrade request with `result`.
  void StartAndAccept(const AgentRecord& agent, uint16_t result = 0) {
    ASSERT_EQ(AddUpload(&agent), 1);
    ASSERT_EQ(StartUploads(), 1);
    HandleUpgradeReply(Protocol(kOpUpgradeReply, Upload().requestSequence, agent.macAddr, result));
  }
  // Runs the once-a-second tick `n` times.
  void Tick(int n = 1, uint32_t step = 1000) {
    for (int i = 0; i < n; ++i) {
      clock_.Advance(step);
      UpgradeTick();
    }
  }
  size_t CountSent(uint16_t tftpOp) {
    size_t n = 0;
    for (const Sent& s : g_sent) n += s.kind == SocketKind::kTransfer && s.Op() == tftpOp;
    return n;
  }
  size_t CountRequests(uint16_t opcode) {  // broadcast copies only
    size_t n = 0;
    for (const Sent& s : g_sent) {
      n += s.kind == SocketKind::kBroadcast && s.Header(kHdrOpcode) == opcode;
    }
    return n;
  }

  ManualTickSource clock_{500000};
  NoSockets opener_;
  std::vector<std::string> files_;
};

TEST_F(EngineUpload, UpgradeRequestCarriesPasswordTypePathAndSizeThenTheWriteRequest) {
  const std::string path = GetUpgradeParameters().path;
  AgentRecord agent = Agent(kMacA, kAgentA);
  ASSERT_EQ(AddUpload(&agent), 1);
  ASSERT_EQ(StartUploads(), 1);
  ASSERT_EQ(g_sent.size(), 2u);  // broadcast and multicast
  const Sent& request = g_sent[0];
  EXPECT_EQ(request.Header(kHdrOpcode), kOpUpgradeRequest);
  EXPECT_EQ(std::memcmp(request.bytes.data() + kHdrAgentMac, kMacA, kMacSize), 0);
  std::vector<uint8_t> items;
  for (size_t at = kPacketHeaderSize; at + 4 <= request.bytes.size();) {
    const uint16_t type = request.Header(at), length = request.Header(at + 2);
    items.push_back(static_cast<uint8_t>(type));
    const std::string value(request.bytes.begin() + at + 4, request.bytes.begin() + at + length);
    if (type == 9) {
      EXPECT_EQ(value, "secret");
    } else if (type == 32) {
      EXPECT_EQ(value, "firmware");
    } else if (type == 34) {
      EXPECT_EQ(value, path);
    } else if (type == 35) {
      EXPECT_EQ(LoadBe32(request.bytes.data() + at + 4), 4242u);
    }
    at += length;
  }
  EXPECT_EQ(items, (std::vector<uint8_t>{9, 32, 34, 35}));  // no key outside "config"

  g_sent.clear();
  HandleUpgradeReply(Protocol(kOpUpgradeReply, Upload().requestSequence, kMacA));
  ASSERT_EQ(g_sent.size(), 1u);
  EXPECT_EQ(g_sent[0].kind, SocketKind::kTransfer);
  EXPECT_EQ(g_sent[0].ip, kAgentA);
  EXPECT_EQ(g_sent[0].port, kTftpServerPort);
  const std::string wrq(g_sent[0].bytes.begin() + 2, g_sent[0].bytes.end());
  EXPECT_EQ(wrq, path + std::string("\0octet\0", 7));
  EXPECT_EQ(State(), kUploadWrqSent);
}

TEST_F(EngineUpload, ConfigUploadCarriesItsKeyAndWaitsEightySeconds) {
  SetParameters(WriteFile(10), "config");
  AgentRecord agent = Agent(kMacA, kAgentA, /*reboot=*/5);
  ASSERT_EQ(AddUpload(&agent), 1);
  ASSERT_EQ(StartUploads(), 1);
  const std::vector<uint8_t>& b = g_sent[0].bytes;
  const std::string body(b.begin() + kPacketHeaderSize, b.end());
  EXPECT_NE(body.find(std::string("\0\x21\0\x07k3y", 7)), std::string::npos);
  EXPECT_EQ(Upload().rebootWaitSeconds, 80u);
}

TEST_F(EngineUpload, KilobyteFileEndsWithAnEmptyBlockAndReachesDoneAfterRediscovery) {
  StartAndAccept(Agent(kMacA, kAgentA, 60));
  g_sent.clear();
  for (uint16_t n = 0; n <= 2; ++n) {
    HandleTftpPacket(Tftp(kTftpAck, n, kAgentA));
    ASSERT_EQ(g_sent.size(), n + 1u);
    EXPECT_EQ(g_sent.back().Op(), kTftpData);
    EXPECT_EQ(g_sent.back().Block(), n + 1);
    EXPECT_EQ(g_sent.back().port, kTid);
  }
  EXPECT_EQ(g_sent[0].bytes.size(), 516u);
  EXPECT_EQ(g_sent[1].bytes.size(), 516u);
  EXPECT_EQ(g_sent[2].bytes.size(), 4u);  // 1024 is a multiple of 512
  EXPECT_EQ(State(), kUploadLastBlockSent);
  HandleTftpPacket(Tftp(kTftpAck, 3, kAgentA));
  EXPECT_EQ(State(), kUploadRebootWait);
  EXPECT_EQ(Upload().transmitedSize, 1024);

  // Rediscovery only after the agent's 60 s; a discovery reply before it changes nothing.
  HandleRediscoveryReply(Protocol(kOpDiscoverReply, 3, kMacA));
  Tick(59);
  EXPECT_EQ(State(), kUploadRebootWait);
  EXPECT_TRUE(AwaitedRediscoveries().Empty());  // discovery replies stay off the transfer side
  g_sent.clear();
  g_awaitedAtDiscover.clear();
  Tick();
  EXPECT_EQ(State(), kUploadRediscovering);
  // The agent was awaited before it was asked, so no quick reply is missed.
  ASSERT_EQ(g_awaitedAtDiscover.size(), 1u);
  EXPECT_EQ(std::memcmp(g_awaitedAtDiscover[0].data(), kMacA, kMacSize), 0);
  ASSERT_EQ(g_sent.size(), 2u);
  EXPECT_EQ(g_sent[0].Header(kHdrOpcode), kOpDiscover);
  EXPECT_EQ(g_sent[0].Header(kHdrSequence), kRediscoverySequence);
  EXPECT_EQ(g_sent[0].bytes.size(), kPacketHeaderSize);

  HandleRediscoveryReply(Protocol(kOpDiscoverReply, 77, kMacA));
  UpgradeStatusSnapshot snap;
  ASSERT_EQ(GetUpgradeSnapshot(kMacA, &snap), 1);
  EXPECT_EQ(snap.upgradeStatus, kUploadDone);
  EXPECT_TRUE(AwaitedRediscoveries().Empty());
  EXPECT_EQ(snap.isupgrading, 0);
  EXPECT_EQ(snap.replyLength, 48);
  EXPECT_EQ(snap.fwFileSize, 1024);
  uint8_t mac[kMacSize];
  uint32_t ip = 0;
  EXPECT_EQ(FindUpgradingAgent(mac, &ip), 0);
}

TEST_F(EngineUpload, SmallFileSkipsTheEraseWaitAndStrayAcksChangeNothing) {
  SetParameters(WriteFile(100), "firmware");
  StartAndAccept(Agent(kMacA, kAgentA, 60, /*erase=*/5));
  HandleTftpPacket(Tftp(kTftpAck, 0, kAgentB));                 // another address: no upload
  HandleTftpPacket(Tftp(kTftpAck, 7, kAgentA));                 // wrong block
  EXPECT_EQ(HandleTftpPacket(Tftp(kTftpData, 0, kAgentA)), 0);  // not ACK or ERROR
  EXPECT_EQ(CountSent(kTftpData), 0u);
  HandleTftpPacket(Tftp(kTftpAck, 0, kAgentA));
  EXPECT_EQ(State(), kUploadLastBlockSent);
  EXPECT_EQ(g_sent.back().bytes.size(), 104u);
  HandleTftpPacket(Tftp(kTftpAck, 1, kAgentA));
  EXPECT_EQ(State(), kUploadRebootWait);
}

TEST_F(EngineUpload, AcksFromAnotherPortOrRepeatedAreIgnoredAndTheTimerResends) {
  StartAndAccept(Agent(kMacA, kAgentA));
  HandleTftpPacket(Tftp(kTftpAck, 0, kAgentA));
  HandleTftpPacket(Tftp(kTftpAck, 1, kAgentA, kTid + 1));  // another port
  HandleTftpPacket(Tftp(kTftpAck, 0, kAgentA));            // duplicate of the previous block
  EXPECT_EQ(CountSent(kTftpData), 1u);
  EXPECT_EQ(State(), kUploadSending);
  Tick(1);  // 1 s: not yet
  EXPECT_EQ(CountSent(kTftpData), 1u);
  Tick(1);  // 2 s: DATA 1 again
  ASSERT_EQ(CountSent(kTftpData), 2u);
  EXPECT_EQ(g_sent.back().Block(), 1);
  EXPECT_EQ(Upload().retryCount, 1u);
  HandleTftpPacket(Tftp(kTftpAck, 1, kAgentA));
  EXPECT_EQ(g_sent.back().Block(), 2);
  EXPECT_EQ(Upload().retryCount, 0u);
}

TEST_F(EngineUpload, StrangersAreAnsweredUnknownTransferIdAndTheUploadCompletes) {
  StartAndAccept(Agent(kMacA, kAgentA));
  HandleTftpPacket(Tftp(kTftpAck, 0, kAgentA));  // ACK 0 fixes the transfer's port
  g_sent.clear();
  // An ERROR from another port of the agent's address ends nothing, and is
  // not answered: errors never are.
  EXPECT_EQ(HandleTftpPacket(Tftp(kTftpError, 2, kAgentA, kTid + 1)), 1);
  EXPECT_EQ(State(), kUploadSending);
  EXPECT_TRUE(g_sent.empty());
  // ACKs from another port and from another address: each sender gets
  // ERROR 5, and no block goes out. Broadcast and group senders get nothing.
  HandleTftpPacket(Tftp(kTftpAck, 1, kAgentA, kTid + 1));
  HandleTftpPacket(Tftp(kTftpAck, 1, kAgentB));
  HandleTftpPacket(Tftp(kTftpAck, 1, inet_addr("10.0.0.255")));
  HandleTftpPacket(Tftp(kTftpAck, 1, inet_addr("239.255.255.100")));
  ASSERT_EQ(g_sent.size(), 2u);
  const std::string unknownTid("\0\5\0\5Unknown transfer ID\0", 24);
  for (const Sent& s : g_sent) {
    EXPECT_EQ(s.kind, SocketKind::kTransfer);
    EXPECT_EQ(std::string(s.bytes.begin(), s.bytes.end()), unknownTid);
  }
  EXPECT_EQ(g_sent[0].ip, kAgentA);
  EXPECT_EQ(g_sent[0].port, kTid + 1);
  EXPECT_EQ(g_sent[1].ip, kAgentB);
  EXPECT_EQ(g_sent[1].port, kTid);

  // The transfer goes on; its last ACK counts from the transfer's port only.
  HandleTftpPacket(Tftp(kTftpAck, 1, kAgentA));
  HandleTftpPacket(Tftp(kTftpAck, 2, kAgentA));
  EXPECT_EQ(State(), kUploadLastBlockSent);
  HandleTftpPacket(Tftp(kTftpAck, 3, kAgentA, kTid + 1));
  HandleTftpPacket(Tftp(kTftpError, 0, kAgentA, kTftpServerPort));
  EXPECT_EQ(State(), kUploadLastBlockSent);
  HandleTftpPacket(Tftp(kTftpAck, 3, kAgentA));
  EXPECT_EQ(State(), kUploadRebootWait);
  EXPECT_EQ(Upload().failedCode, 0);
  EXPECT_EQ(Upload().transmitedSize, 1024);
  // With no transfer running, nothing here answers TFTP.
  g_sent.clear();
  HandleTftpPacket(Tftp(kTftpAck, 3, kAgentB));
  EXPECT_TRUE(g_sent.empty());
}

TEST_F(EngineUpload, EraseWaitResendsTheFirstBlockEverySecondForAsLongAsAsked) {
  StartAndAccept(Agent(kMacA, kAgentA, 60, /*erase=*/5));
  HandleTftpPacket(Tftp(kTftpAck, 0, kAgentA));
  EXPECT_EQ(State(), kUploadEraseWait);
  Tick(4);
  EXPECT_EQ(CountSent(kTftpData), 5u);  // DATA 1 and four resends
  HandleTftpPacket(Tftp(kTftpAck, 1, kAgentA));
  EXPECT_EQ(State(), kUploadSending);
  EXPECT_EQ(g_sent.back().Block(), 2);
}

TEST_F(EngineUpload, EraseWaitAboveTwoHundredFiftyFiveSecondsIsGivenInFull) {
  StartAndAccept(Agent(kMacA, kAgentA, 60, /*erase=*/300));
  HandleTftpPacket(Tftp(kTftpAck, 0, kAgentA));
  Tick(300);
  EXPECT_EQ(State(), kUploadEraseWait);
  EXPECT_EQ(CountSent(kTftpData), 301u);
  Tick(1);  // the wait is used up: the upload starts over
  EXPECT_EQ(State(), kUploadRequestSent);
  EXPECT_EQ(Upload().restartCount, 1);
  EXPECT_EQ(Upload().blockCounter, 0);
}

TEST_F(EngineUpload, UnansweredWriteRequestRestartsThriceThenFailsWithFiveAndTheNextStarts) {
  AgentRecord b = Agent(kMacB, kAgentB);
  StartAndAccept(Agent(kMacA, kAgentA));
  ASSERT_EQ(AddUpload(&b), 1);
  for (int restart = 0; restart < 3; ++restart) {
    Tick(6, 1000);  // three resends, 2 s apart
    EXPECT_EQ(State(), kUploadWrqSent);
    Tick(2, 1000);  // the limit: a fresh upgrade request with a new sequence
    ASSERT_EQ(State(), kUploadRequestSent);
    EXPECT_EQ(Upload().restartCount, restart + 1);
    HandleUpgradeReply(Protocol(kOpUpgradeReply, Upload().requestSequence, kMacA));
    ASSERT_EQ(State(), kUploadWrqSent);
  }
  EXPECT_EQ(CountSent(kTftpWrq), 3u * 4u + 1u);  // three whole rounds and the last WRQ
  Tick(8, 1000);
  EXPECT_EQ(State(0), kUploadFailed);
  EXPECT_EQ(Upload(0).failedCode, kFailNoFirstAck);
  EXPECT_EQ(State(1), kUploadRequestSent);
}

TEST_F(EngineUpload, SilentTransferFailsWithSevenOnceTheRestartsAreUsedUp) {
  StartAndAccept(Agent(kMacA, kAgentA));
  {
    std::lock_guard lock(TftpSessionLock());
    TftpSessionList().front()->restartCount = 3;
  }
  HandleTftpPacket(Tftp(kTftpAck, 0, kAgentA));
  HandleTftpPacket(Tftp(kTftpAck, 1, kAgentA));
  Tick(7);  // resends at 2, 4, 6 s
  EXPECT_EQ(State(), kUploadSending);
  EXPECT_EQ(CountSent(kTftpData), 5u);
  Tick(1);
  EXPECT_EQ(Upload().failedCode, kFailNoAck);
}

TEST_F(EngineUpload, UnansweredRequestGoesOutFourTimesThenFailsWithThree) {
  AgentRecord a = Agent(kMacA, kAgentA), b = Agent(kMacB, kAgentB);
  ASSERT_EQ(AddUpload(&a), 1);
  ASSERT_EQ(AddUpload(&b), 1);
  ASSERT_EQ(StartUploads(), 1);
  Tick(7);
  EXPECT_EQ(CountRequests(kOpUpgradeRequest), 4u);
  EXPECT_EQ(State(), kUploadRequestSent);
  Tick(1);  // 8 s: two seconds after the fourth
  EXPECT_EQ(Upload(0).failedCode, kFailNoUpgradeReply);
  EXPECT_EQ(State(1), kUploadRequestSent);
  uint8_t mac[kMacSize];
  uint32_t ip = 0;
  ASSERT_EQ(FindUpgradingAgent(mac, &ip), 1);
  EXPECT_EQ(ip, kAgentB);
}

TEST_F(EngineUpload, RefusalsFailAtOnceAndStartTheNextButLateOrForeignRepliesAreDropped) {
  AgentRecord a = Agent(kMacA, kAgentA), b = Agent(kMacB, kAgentB);
  ASSERT_EQ(AddUpload(&a), 1);
  ASSERT_EQ(AddUpload(&b), 1);
  ASSERT_EQ(StartUploads(), 1);
  const uint16_t seq = Upload().requestSequence;
  HandleUpgradeReply(
      Protocol(kOpUpgradeReply, static_cast<uint16_t>(seq + 1), kMacA, 2));  // other sequence
  HandleUpgradeReply(Protocol(kOpUpgradeReply, seq, kMacB, 2));              // other agent
  HandleUpgradeReply(Protocol(kOpUpgradeReply, seq, kMacA, 7));              // unknown result
  ReceivedPacket late = Protocol(kOpUpgradeReply, seq, kMacA, 2);
  late.rxTick += kUpgradeReplyWindowMs;
  HandleUpgradeReply(late);
  EXPECT_EQ(State(0), kUploadRequestSent);
  HandleUpgradeReply(Protocol(kOpUpgradeReply, seq, kMacA, 2));
  EXPECT_EQ(Upload(0).failedCode, kFailRefused);
  EXPECT_EQ(State(1), kUploadRequestSent);
  HandleUpgradeReply(Protocol(kOpUpgradeReply, Upload(1).requestSequence, kMacB, 10));
  EXPECT_EQ(Upload(1).failedCode, kFailRefusedOther);
}

TEST_F(EngineUpload, TftpErrorAndVanishedFileFailWithoutStartingTheNext) {
  AgentRecord b = Agent(kMacB, kAgentB);
  StartAndAccept(Agent(kMacA, kAgentA));
  ASSERT_EQ(AddUpload(&b), 1);
  HandleTftpPacket(Tftp(kTftpAck, 0, kAgentA));
  HandleTftpPacket(Tftp(kTftpError, 2, kAgentA));
  EXPECT_EQ(Upload(0).failedCode, kFailTftpError);
  EXPECT_EQ(State(1), kUploadQueued);

  ASSERT_EQ(StartUploads(), 1);  // the next start takes the queue up again
  HandleUpgradeReply(Protocol(kOpUpgradeReply, Upload(1).requestSequence, kMacB));
  HandleTftpPacket(Tftp(kTftpAck, 0, kAgentB));
#ifdef _WIN32
  // Windows refuses to remove a file the upload holds open: it cannot
  // vanish there.
  EXPECT_NE(std::remove(GetUpgradeParameters().path), 0);
#else
  std::remove(GetUpgradeParameters().path);
  HandleTftpPacket(Tftp(kTftpAck, 1, kAgentB));
  EXPECT_EQ(Upload(1).failedCode, kFailFileOpen);
  EXPECT_EQ(Upload(1).transmitedSize, 512);
#endif
}

TEST_F(EngineUpload, BlockNumberWrapsAfter65535WhileTheCountersCountOn) {
  const size_t blocks = 65536 + 3;
  SetParameters(WriteFile(blocks * kTftpBlockSize - 100), "firmware");
  StartAndAccept(Agent(kMacA, kAgentA));
  for (size_t n = 0; n < blocks; ++n) {
    g_sent.clear();
    HandleTftpPacket(Tftp(kTftpAck, static_cast<uint16_t>(n), kAgentA));
    ASSERT_EQ(g_sent.size(), 1u) << "block " << n;
    ASSERT_EQ(g_sent[0].Block(), static_cast<uint16_t>(n + 1));
  }
  EXPECT_EQ(State(), kUploadLastBlockSent);
  EXPECT_EQ(g_sent[0].bytes.size(), 4u + kTftpBlockSize - 100);
  HandleTftpPacket(Tftp(kTftpAck, static_cast<uint16_t>(blocks), kAgentA));
  EXPECT_EQ(State(), kUploadRebootWait);
  EXPECT_EQ(Upload().blockCounter, static_cast<int64_t>(blocks));
  EXPECT_EQ(Upload().transmitedSize, static_cast<int64_t>(blocks * kTftpBlockSize - 100));
}

TEST_F(EngineUpload, RebootWaitsAndRediscoveryLimits) {
  // An agent reporting 0 s gets 110 s.
  SetParameters(WriteFile(10), "firmware");
  StartAndAccept(Agent(kMacA, kAgentA, /*reboot=*/0));
  HandleTftpPacket(Tftp(kTftpAck, 0, kAgentA));
  HandleTftpPacket(Tftp(kTftpAck, 1, kAgentA));
  Tick(109);
  EXPECT_EQ(State(), kUploadRebootWait);
  Tick(1);
  EXPECT_EQ(State(), kUploadRediscovering);
  // 60 more requests a second apart, then the upload starts over.
  Tick(60);
  EXPECT_EQ(Upload().rediscoverCount, 60);
  EXPECT_EQ(State(), kUploadRediscovering);
  EXPECT_EQ(CountRequests(kOpDiscover), 61u);
  EXPECT_TRUE(Awaited(kMacA));
  Tick(1);
  EXPECT_EQ(State(), kUploadRequestSent);
  EXPECT_EQ(Upload().restartCount, 1);
  EXPECT_FALSE(Awaited(kMacA));  // started over: no longer waiting for its reply
  {
    std::lock_guard lock(TftpSessionLock());
    TftpSession& u = *TftpSessionList().front();
    u.restartCount = 3;
    u.upgradeStatus = kUploadRediscovering;
    u.rediscoverCount = 60;
  }
  Tick(1);
  EXPECT_EQ(Upload().failedCode, kFailNotRediscovered);
  EXPECT_TRUE(AwaitedRediscoveries().Empty());
}

TEST_F(EngineUpload, SameMacIsQueuedOnceAtATimeAndRediscoveryCompletesTheWaitingUpload) {
  SetParameters(WriteFile(10), "firmware");
  const AgentRecord again = Agent(kMacA, kAgentA, 1);
  StartAndAccept(again);
  // Running: a second upload of the same agent is refused.
  EXPECT_TRUE(HasPendingUpload(kMacA));
  EXPECT_EQ(AddUpload(&again), 0);
  HandleTftpPacket(Tftp(kTftpAck, 0, kAgentA));
  HandleTftpPacket(Tftp(kTftpAck, 1, kAgentA));
  Tick(1);
  HandleRediscoveryReply(Protocol(kOpDiscoverReply, 3, kMacA));
  EXPECT_EQ(State(0), kUploadDone);
  EXPECT_FALSE(HasPendingUpload(kMacA));

  // Done: the agent may be queued again, and the new upload is the one
  // reported and the one its rediscovery completes, though the finished one
  // comes first in the list.
  ASSERT_EQ(AddUpload(&again), 1);
  UpgradeStatusSnapshot snap;
  ASSERT_EQ(GetUpgradeSnapshot(kMacA, &snap), 1);
  EXPECT_EQ(snap.upgradeStatus, kUploadQueued);
  ASSERT_EQ(StartUploads(), 1);
  HandleUpgradeReply(Protocol(kOpUpgradeReply, Upload(1).requestSequence, kMacA, 0));
  HandleTftpPacket(Tftp(kTftpAck, 0, kAgentA));
  HandleTftpPacket(Tftp(kTftpAck, 1, kAgentA));
  Tick(1);
  ASSERT_EQ(State(1), kUploadRediscovering);
  HandleRediscoveryReply(Protocol(kOpDiscoverReply, 3, kMacA));
  EXPECT_EQ(State(1), kUploadDone);
  EXPECT_EQ(Upload(1).restartCount, 0);
  EXPECT_EQ(GetUpgradeSnapshot(kMacB, &snap), 0);
  AwaitedRediscoveries().Set({RediscoveryWatch::Mac{}});
  EXPECT_EQ(ClearUploads(), 1);
  EXPECT_EQ(GetUpgradeSnapshot(kMacA, &snap), 0);
  EXPECT_TRUE(AwaitedRediscoveries().Empty());
}

TEST_F(EngineUpload, SettersRefuseMissingValuesAndUnopenableFilesFailAtStart) {
  EXPECT_EQ(SetUpgradeFilePath(nullptr), 0);
  EXPECT_EQ(SetUpgradeFilePath("/nonexistent/fw.bin"), 0);
  EXPECT_EQ(SetUpgradeFilePath("/tmp"), 0);  // a folder
  EXPECT_EQ(SetUpgradeType(nullptr), 0);
  EXPECT_EQ(SetUpgradeFileSize(0), 0);
  EXPECT_EQ(SetUpgradeFileSize(-5), 0);
  EXPECT_EQ(GetUpgradeParameters().fileSize, 4242);
  EXPECT_EQ(AddUpload(nullptr), 0);

  AgentRecord a = Agent(kMacA, kAgentA), b = Agent(kMacB, kAgentB);
  ASSERT_EQ(AddUpload(&a), 1);
  ASSERT_EQ(AddUpload(&b), 1);
  std::remove(GetUpgradeParameters().path);
  EXPECT_EQ(StartUploads(), 0);  // every queued upload fails to open
  EXPECT_EQ(Upload(0).failedCode, kFailFileOpen);
  EXPECT_EQ(Upload(1).failedCode, kFailFileOpen);
  EXPECT_EQ(StartUploads(), 0);  // an empty queue starts nothing
}

// The same cycle on the engine's own threads: replies through the
// TransferQueue to the TransferProcessThread, waits on the UpgradeTimerThread,
// while the request side reads snapshots; then the stop clears the uploads.
bool OneAdapterWithoutSockets(std::vector<AdapterEntry>& out) {
  out.assign(1, AdapterEntry{});
  out[0].mac = {0x02, 0xFE, 0, 0, 0, 1, 0, 0};
  out[0].ifName = "fl-none0";
  out[0].ipList.push_back(IpEntry{inet_addr("10.0.0.1"), inet_addr("255.255.255.0"), false});
  return true;
}

template <typename Pred>
bool WaitUntil(Pred done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

TEST(EngineUploadThreads, UploadRunsOnTheEngineThreadsAndTheStopClearsIt) {
  ManualTickSource clock(700000);
  SetTickSource(&clock);
  SetDatagramSender(Record);
  Config().magicCookie = 0;
  ClearEngineHooks();
  // The upload's routes as the engine's table has them.
  SetPacketDispatch(PacketDispatch{
      .routes = {{.opcode = kOpDiscoverReply, .handlers = {}, .transfer = HandleRediscoveryReply},
                 {.opcode = kOpUpgradeReply, .handlers = {}, .transfer = HandleUpgradeReply}},
      .drained = {},
  });
  SetTransferHandler([](const ReceivedPacket& packet) { HandleTftpPacket(packet); });
  SetEnginePass(EnginePass::kUpgradeTick, UpgradeTick);
  AddStopCleanup([] { ClearUploads(); });
  static NoSockets opener;
  EngineOptions options;
  options.readAdapters = OneAdapterWithoutSockets;
  options.opener = &opener;
  options.igmpReports = false;
  options.loadConfig = [] { return 1; };
  ASSERT_EQ(StartEngine(options), 1);
  ASSERT_TRUE(WaitUntil([] { return AdapterPassCount() >= 1; }));

  const std::string name = NewTempFile(std::vector<uint8_t>(1024, 0x33));
  ASSERT_EQ(SetUpgradeFilePath(name.c_str()), 1);
  AgentRecord agent = Agent(kMacA, kAgentA, /*reboot=*/1);
  ASSERT_EQ(AddUpload(&agent), 1);
  ASSERT_EQ(StartUploads(), 1);

  std::atomic<bool> reading{true};
  std::thread reader([&] {
    UpgradeStatusSnapshot snap;
    uint8_t mac[kMacSize];
    uint32_t ip = 0;
    while (reading.load()) {
      GetUpgradeSnapshot(kMacA, &snap);
      FindUpgradingAgent(mac, &ip);
    }
  });
  const auto state = [] {
    UpgradeStatusSnapshot snap;
    GetUpgradeSnapshot(kMacA, &snap);
    return snap.upgradeStatus;
  };
  const auto deliver = [](ReceivedPacket packet) {
    TransferQueueOf().Append(std::make_unique<ReceivedPacket>(packet));
    TransferQueueOf().Signal();
  };
  uint16_t sequence = 0;
  {
    std::lock_guard lock(TftpSessionLock());
    sequence = TftpSessionList().front()->requestSequence;
  }
  deliver(Protocol(kOpUpgradeReply, sequence, kMacA));
  EXPECT_TRUE(WaitUntil([&] { return state() == kUploadWrqSent; }));
  for (uint16_t n = 0; n <= 3; ++n) deliver(Tftp(kTftpAck, n, kAgentA));
  EXPECT_TRUE(WaitUntil([&] { return state() == kUploadRebootWait; }));
  EXPECT_TRUE(WaitUntil([&] {
    clock.Advance(250);
    return state() == kUploadRediscovering;
  }));
  deliver(Protocol(kOpDiscoverReply, kRediscoverySequence, kMacA));
  EXPECT_TRUE(WaitUntil([&] { return state() == kUploadDone; }));
  reading.store(false);
  reader.join();

  StopEngine();
  UpgradeStatusSnapshot snap;
  EXPECT_EQ(GetUpgradeSnapshot(kMacA, &snap), 0);  // the stop cleared the uploads
  ClearEngineHooks();
  SetDatagramSender(nullptr);
  SetTransferMaskOverride(0);
  SetTickSource(nullptr);
  std::remove(name.c_str());
}

}  // namespace
}  // namespace ferro
