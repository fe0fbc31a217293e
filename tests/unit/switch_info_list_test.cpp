// The whole answer to GetSwitchInfoList, byte for byte, for a discovery list
// with edge values in every kind of member: what clients parse must not move
// when the conversion behind it changes.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/discovery.h"
#include "front/soap_front.h"
#include "protocol/packet.h"
#include "protocol/tlv.h"
#include "soapH.h"

namespace ferro {
namespace {

struct Io {
  std::string in;
  size_t consumed = 0;
  std::string out;
};

// The request and answer of the context being served. Not in the context's
// user data: that is the front's, for the request's exchange.
Io* g_io = nullptr;

size_t Receive(struct soap*, char* buf, size_t len) {
  Io* io = g_io;
  const size_t n = std::min(len, io->in.size() - io->consumed);
  std::memcpy(buf, io->in.data() + io->consumed, n);
  io->consumed += n;
  return n;
}

int Send(struct soap*, const char* data, size_t len) {
  g_io->out.append(data, len);
  return SOAP_OK;
}

// Every byte from a small generator over printable text, so that each text
// member is filled to its full width (no NUL) with XML's special characters
// among the rest.
AgentRecord Patterned(uint32_t seed) {
  static constexpr char kChars[] = "<>&\"' azAZ09.-_";
  AgentRecord r = ZeroAgentRecord();
  auto* bytes = reinterpret_cast<unsigned char*>(&r);
  for (size_t i = 0; i < sizeof r; ++i) {
    seed = seed * 1103515245u + 12345u;
    bytes[i] = static_cast<unsigned char>(kChars[(seed >> 16) % (sizeof kChars - 1)]);
  }
  return r;
}

std::string Answer(const std::string& request_body) {
  struct soap soap;
  InitServiceContext(&soap);
  Io io;
  io.in =
      "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml; charset=utf-8\r\n"
      "Content-Length: " +
      std::to_string(request_body.size()) + "\r\n\r\n" + request_body;
  g_io = &io;
  soap.frecv = Receive;
  soap.fsend = Send;
  // The runtime's own response writer: the front's one sizes the front's
  // answer buffer, which this test replaces.
  struct soap plain;
  soap_init(&plain);
  soap.fresponse = plain.fresponse;
  soap_done(&plain);
  soap_serve(&soap);
  soap_destroy(&soap);
  soap_end(&soap);
  soap_done(&soap);
  g_io = nullptr;
  return io.out;
}

TEST(SwitchInfoList, AnswerIsPinned) {
  ClearDiscoveryList();
  AddToDiscoveryList(ZeroAgentRecord());
  AgentRecord edge = Patterned(1);
  const uint8_t all[4] = {255, 255, 255, 255}, mixed[4] = {9, 10, 99, 100};
  std::memcpy(edge.agentIpAddr, all, 4);
  std::memcpy(edge.agentNetmask, mixed, 4);
  std::memset(edge.agentGateway, 0, 4);
  const uint8_t mac[6] = {0xFF, 0xFE, 0x0A, 0x00, 0x01, 0x80};
  std::memcpy(edge.macAddr, mac, 6);
  edge.funBitmap0 = kNameUtf8Flag;
  std::strcpy(edge.systemName, "\xC3\xA9t\xE2\x82\xAC");
  AddToDiscoveryList(edge);
  AgentRecord repeat = Patterned(2);  // the same MAC again: left out
  std::memcpy(repeat.macAddr, mac, 6);
  AddToDiscoveryList(repeat);
  AgentRecord ansi = Patterned(3);
  ansi.funBitmap0 = 0;
  std::strcpy(ansi.location, "\xE9\xFC\x80");
  AddToDiscoveryList(ansi);

  const std::string answer = Answer(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope "
      "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:ns=\"urn:Halvex\">"
      "<SOAP-ENV:Body><ns:GetSwitchInfoList><monitorNum>0</monitorNum></ns:GetSwitchInfoList>"
      "</SOAP-ENV:Body></SOAP-ENV:Envelope>");
  ClearDiscoveryList();
  std::ifstream file(FERRO_SOURCE_DIR "/tests/unit/data/switch_info_list.http", std::ios::binary);
  std::stringstream pinned;
  pinned << file.rdbuf();
  if (const char* dump = std::getenv("FERRO_DUMP_ANSWER")) std::ofstream(dump) << answer;
  size_t entries = 0;
  for (size_t at = 0; (at = answer.find("<macAddr>", at)) != std::string::npos; ++at) ++entries;
  EXPECT_EQ(entries, 3u) << answer.substr(0, 2000);
  EXPECT_EQ(answer, pinned.str());
}

AgentRecord Agent(const char* name, uint8_t id) {
  AgentRecord r = ZeroAgentRecord();
  std::strcpy(r.productName, name);
  r.macAddr[5] = id;
  r.agentIpAddr[3] = id;
  return r;
}

// An agent's reply (header and one product-name item) as a device-set
// reply callback gets it.
std::vector<uint8_t> NameReply(const char* name, uint8_t id) {
  std::vector<uint8_t> packet(kPacketHeaderSize);
  BuildPacketHeader(kOpSetByMacReply, 0, packet.data());
  const uint8_t mac[kMacSize] = {0, 0, 0, 0, 0, id};
  SetPacketAgentMac(packet.data(), mac);
  const size_t n = std::strlen(name);
  packet.insert(packet.end(), {0, static_cast<uint8_t>(kTlvProductName), 0,
                               static_cast<uint8_t>(kTlvHeaderSize + n)});
  packet.insert(packet.end(), name, name + n);
  return packet;
}

// The product names the operation lists, in order.
std::vector<std::string> Listed() {
  struct soap soap;
  soap_init(&soap);
  std::vector<std::string> names;
  {
    ns__SwitchInfoList list;
    EXPECT_EQ(ns__GetSwitchInfoList(&soap, 0, list), SOAP_OK);
    for (const ns__SwitchInfo& entry : list.arrList) names.push_back(entry.productName);
  }
  soap_destroy(&soap);
  soap_end(&soap);
  soap_done(&soap);
  return names;
}

// The operation keeps its conversion of the discovery list between calls:
// every kind of change to the list must show in the next answer.
TEST(SwitchInfoList, FollowsEveryChangeOfTheDiscoveryList) {
  using Names = std::vector<std::string>;
  ClearDiscoveryList();
  EXPECT_EQ(Listed(), Names{});
  AddToDiscoveryList(Agent("a", 1));
  AddToDiscoveryList(Agent("b", 2));
  EXPECT_EQ(Listed(), (Names{"a", "b"}));
  EXPECT_EQ(Listed(), (Names{"a", "b"}));  // unchanged
  const std::vector<uint8_t> reply = NameReply("a2", 1);
  UpdateDiscoveryEntry(reply.data(), reply.size());
  EXPECT_EQ(Listed(), (Names{"a2", "b"}));
  AddToDiscoveryList(Agent("b again", 2));  // a MAC already listed
  EXPECT_EQ(Listed(), (Names{"a2", "b"}));
  RemoveFromDiscoveryList(Agent("", 2));
  EXPECT_EQ(Listed(), (Names{"a2"}));
  ClearDiscoveryList();
  EXPECT_EQ(Listed(), Names{});
  AddToDiscoveryList(Agent("c", 3));
  EXPECT_EQ(Listed(), (Names{"c"}));
  ClearDiscoveryList();
}

}  // namespace
}  // namespace ferro
