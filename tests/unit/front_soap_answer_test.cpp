// The SOAP front's answers as the handler makes them: a large answer is
// written in packets of the runtime's buffer, also after a GET (which makes
// the runtime drop its output mode); an answer that needs no repair streams
// to the client; and the memory of a large answer held for repair is kept
// for the next one and released when unused.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/discovery.h"
#include "front/answer_buffer.h"
#include "front/connection.h"
#include "front/metrics_endpoint.h"
#include "front/soap_front.h"
#include "soapH.h"

namespace ferro {
namespace {

int (*g_runtime_send)(struct soap*, const char*, size_t) = nullptr;
size_t g_sends = 0;

int CountingSend(struct soap* soap, const char* data, size_t len) {
  ++g_sends;
  return g_runtime_send(soap, data, len);
}

struct Served {
  std::string answer;     // every byte the client received
  bool streamed = false;  // some of it went out while it was being made
};

// The handler's answer to `request`, as a client reads it from the
// connection: what the handler streamed, then what it returned.
Served Serve(SoapHandler& handler, const std::string& request) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return {};
  EXPECT_EQ(::write(fds[1], request.data(), request.size()), static_cast<ssize_t>(request.size()));
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Served served;
  {
    Connection connection(fds[0], peer, 0, ConnectionLimits{});
    connection.OnReadable(0);
    EXPECT_EQ(connection.state(), Connection::State::kReady);
    std::string rest = handler.Serve(connection);
    served.streamed = connection.streamed();
    connection.Answer(std::move(rest), 0);
    char buf[65536];
    while (connection.state() == Connection::State::kWriting) {
      const ssize_t n = ::recv(fds[1], buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) served.answer.append(buf, static_cast<size_t>(n));
      connection.OnWritable(0);
    }
    for (ssize_t n; (n = ::recv(fds[1], buf, sizeof buf, MSG_DONTWAIT)) > 0;) {
      served.answer.append(buf, static_cast<size_t>(n));
    }
  }
  ::close(fds[1]);
  return served;
}

// The body's length against the Content-Length the header gives.
void ExpectFramed(const std::string& answer) {
  const size_t end = answer.find("\r\n\r\n");
  ASSERT_NE(end, std::string::npos);
  const size_t key = answer.find("Content-Length: ");
  ASSERT_LT(key, end);
  EXPECT_EQ(std::stoul(answer.substr(key + 16)), answer.size() - end - 4);
}

const std::string kListBody =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope "
    "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:ns=\"urn:Halvex\">"
    "<SOAP-ENV:Body><ns:GetSwitchInfoList><monitorNum>0</monitorNum></ns:GetSwitchInfoList>"
    "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
const std::string kListRequest =
    "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml; charset=utf-8\r\n"
    "Content-Length: " +
    std::to_string(kListBody.size()) + "\r\n\r\n" + kListBody;

void FillDiscoveryList(uint32_t agents) {
  ClearDiscoveryList();
  for (uint32_t i = 0; i < agents; ++i) {
    AgentRecord r = ZeroAgentRecord();
    r.macAddr[0] = 2;
    r.macAddr[4] = static_cast<uint8_t>(i >> 8);
    r.macAddr[5] = static_cast<uint8_t>(i);
    std::snprintf(r.productName, sizeof r.productName, "switch <%u> & co", i);
    AddToDiscoveryList(r);
  }
}

size_t Entries(const std::string& answer) {
  size_t entries = 0;
  for (size_t at = 0; (at = answer.find("<macAddr>", at)) != std::string::npos; ++at) ++entries;
  return entries;
}

TEST(SoapFrontAnswer, LargeAnswerIsWrittenInPacketsAlsoAfterAGet) {
  struct soap soap;
  InitServiceContext(&soap);
  g_runtime_send = soap.fsend;
  soap.fsend = CountingSend;
  SoapHandler handler(&soap);
  constexpr uint32_t kAgents = 300;
  FillDiscoveryList(kAgents);
  std::string first;
  for (const bool after_get : {false, true}) {
    if (after_get) {
      const Served page = Serve(handler, "GET /no-such-page.htm HTTP/1.1\r\n\r\n");
      EXPECT_NE(page.answer.find(" 200 OK\r\n"), std::string::npos) << page.answer.substr(0, 200);
    }
    g_sends = 0;
    const std::string answer = Serve(handler, kListRequest).answer;
    EXPECT_EQ(Entries(answer), kAgents);
    ExpectFramed(answer);
    // Packets of at least 16 KiB; written piece by piece it takes thousands.
    EXPECT_LE(g_sends, answer.size() / 16384 + 2) << "after a GET: " << after_get;
    if (after_get) {
      EXPECT_EQ(answer, first);
    } else {
      first = answer;
    }
  }
  ClearDiscoveryList();
  soap_destroy(&soap);
  soap_end(&soap);
  soap_done(&soap);
}

// A list of well-formed texts streams to the client, far beyond what the
// socket holds, whole and framed; one agent's stray bytes make the answer
// wait in memory for the repair, which keeps the framing right though the
// repair makes the body longer.
TEST(SoapFrontAnswer, CleanListStreamsAndAListToRepairWaitsForTheRepair) {
  struct soap soap;
  InitServiceContext(&soap);
  SoapHandler handler(&soap);
  constexpr uint32_t kAgents = 300;  // about 600 KB of answer
  FillDiscoveryList(kAgents);
  const Served clean = Serve(handler, kListRequest);
  EXPECT_TRUE(clean.streamed);
  EXPECT_GT(clean.answer.size(), 500000u);
  EXPECT_EQ(Entries(clean.answer), kAgents);
  EXPECT_NE(clean.answer.find("<productName>switch &lt;299&gt; &amp; co</productName>"),
            std::string::npos);
  ExpectFramed(clean.answer);
  EXPECT_EQ(clean.answer.compare(clean.answer.size() - 22, 22, "</SOAP-ENV:Envelope>\r\n"), 0);

  AgentRecord stray = ZeroAgentRecord();
  stray.macAddr[0] = 4;
  std::strcpy(stray.productName, "caf\xE9\x01");  // Windows-1252 and a control byte
  AddToDiscoveryList(stray);
  const Served repaired = Serve(handler, kListRequest);
  EXPECT_FALSE(repaired.streamed);
  EXPECT_EQ(Entries(repaired.answer), kAgents + 1);
  EXPECT_NE(repaired.answer.find("<productName>caf\xC3\xA9\xEF\xBF\xBD</productName>"),
            std::string::npos);
  ExpectFramed(repaired.answer);

  // A file goes out whole, and so does a fault after a streamed answer.
  const Served page = Serve(handler, "GET /no-such-page.htm HTTP/1.1\r\n\r\n");
  EXPECT_FALSE(page.streamed);
  EXPECT_NE(page.answer.find(" 200 OK\r\n"), std::string::npos);
  const Served fault = Serve(handler, "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello");
  EXPECT_FALSE(fault.streamed);
  EXPECT_NE(fault.answer.find("Fault"), std::string::npos);
  ClearDiscoveryList();
  soap_destroy(&soap);
  soap_end(&soap);
  soap_done(&soap);
}

TEST(SoapFrontAnswer, LargeAnswerMemoryIsReusedThenReleasedWhenIdle) {
  AnswerBuffers buffers;
  constexpr size_t kLarge = 4 * kSpareAnswerMinBytes;
  std::string answer = buffers.Take(kLarge, 100);
  ASSERT_GE(answer.capacity(), kLarge);
  answer.assign(1000, 'x');
  const char* memory = answer.data();
  buffers.Give(std::move(answer), 100);
  EXPECT_GE(buffers.SpareCapacity(), kLarge);

  // A smaller large answer is written into the spare, empty.
  std::string next = buffers.Take(kLarge / 2, 200);
  EXPECT_EQ(next.data(), memory);
  EXPECT_TRUE(next.empty());
  EXPECT_LT(buffers.SpareCapacity(), kSpareAnswerMinBytes);
  // One larger than the spare gets memory of its own; the spare stays.
  buffers.Give(std::move(next), 200);
  std::string larger = buffers.Take(2 * kLarge, 300);
  EXPECT_NE(larger.data(), memory);
  EXPECT_GE(buffers.SpareCapacity(), kLarge);
  // The larger of the two is kept.
  buffers.Give(std::move(larger), 300);
  EXPECT_GE(buffers.SpareCapacity(), 2 * kLarge);

  // Small answers never take or become the spare.
  std::string small = buffers.Take(1000, 400);
  EXPECT_LT(small.capacity(), kSpareAnswerMinBytes);
  buffers.Give(std::move(small), 400);
  EXPECT_GE(buffers.SpareCapacity(), 2 * kLarge);

  // Released once unused for the idle time, counted from its last use.
  buffers.ReleaseIdle(300 + kSpareAnswerIdleMs - 1);
  EXPECT_GE(buffers.SpareCapacity(), 2 * kLarge);
  buffers.ReleaseIdle(300 + kSpareAnswerIdleMs);
  EXPECT_LT(buffers.SpareCapacity(), kSpareAnswerMinBytes);
  buffers.ReleaseIdle(300 + 2 * kSpareAnswerIdleMs);  // nothing left: no harm
  EXPECT_LT(buffers.SpareCapacity(), kSpareAnswerMinBytes);
}

std::string Post(const std::string& body) {
  return "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml; charset=utf-8\r\n"
         "Content-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Envelope(const std::string& element) {
  return "<?xml version=\"1.0\"?><e:Envelope xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "xmlns:ns=\"urn:Halvex\"><e:Body>" +
         element + "</e:Body></e:Envelope>";
}

// Every SOAP request is counted once, under the operation the runtime
// dispatched (a name it does not know is "unknown", so that made-up names
// cannot grow the series) and as ok or fault; a GET is no SOAP request.
// The scrape itself is served on the same port.
TEST(SoapFrontAnswer, RequestsCountedByOperationAndOutcome) {
  struct soap soap;
  InitServiceContext(&soap);
  SoapHandler handler(&soap);
  SoapRequests().Clear();
  FillDiscoveryList(1);
  Serve(handler, kListRequest);
  Serve(handler, Post(Envelope("<ns:GetSwitchInfoList><monitorNum>5</monitorNum>"
                               "</ns:GetSwitchInfoList>")));  // more than are watched: a fault
  Serve(handler, Post(Envelope("<ns:MadeUp" + std::string(20, 'x') + "/>")));
  Serve(handler, Post("not a SOAP message"));
  Serve(handler, "GET /index.htm HTTP/1.1\r\n\r\n");
  const std::string scrape = Serve(handler, "GET /metrics HTTP/1.1\r\n\r\n").answer;
  EXPECT_NE(scrape.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"),
            std::string::npos);
  ExpectFramed(scrape);
  for (const char* line :
       {"ferrolink_soap_requests_total{operation=\"GetSwitchInfoList\",outcome=\"ok\"} 1\n",
        "ferrolink_soap_requests_total{operation=\"GetSwitchInfoList\",outcome=\"fault\"} 1\n",
        "ferrolink_soap_requests_total{operation=\"unknown\",outcome=\"fault\"} 2\n",
        "ferrolink_soap_request_duration_seconds_count{operation=\"GetSwitchInfoList\"} 2\n",
        "ferrolink_soap_request_duration_seconds_bucket{operation=\"unknown\",le=\"+Inf\"} 2\n"}) {
    EXPECT_NE(scrape.find(line), std::string::npos) << line << scrape;
  }
  EXPECT_EQ(scrape.find("MadeUp"), std::string::npos);

  // Names the runtime dispatched get series of their own up to the limit,
  // later ones share "other"; a name that is no plain word is "unknown".
  SoapRequestStats stats;
  for (size_t i = 0; i < SoapRequestStats::kMaxOperations + 5; ++i) {
    stats.Record("Op" + std::to_string(i), true, false, 0.002);
  }
  stats.Record("Bad\"Name", true, true, 20);
  metrics::Writer out;
  stats.Write(out);
  size_t series = 0;
  for (size_t at = 0; (at = out.Text().find("outcome=\"ok\"", at)) != std::string::npos; ++at) {
    ++series;
  }
  EXPECT_EQ(series, SoapRequestStats::kMaxOperations);
  EXPECT_NE(out.Text().find("{operation=\"other\",outcome=\"ok\"} 7\n"), std::string::npos);
  EXPECT_NE(out.Text().find("{operation=\"unknown\",outcome=\"fault\"} 1\n"), std::string::npos);
  EXPECT_NE(out.Text().find("{operation=\"unknown\",le=\"10\"} 0\n"), std::string::npos);
  EXPECT_NE(out.Text().find("{operation=\"Op0\",le=\"0.0025\"} 1\n"), std::string::npos);
  EXPECT_NE(out.Text().find("{operation=\"Op0\",le=\"0.001\"} 0\n"), std::string::npos);

  SoapRequests().Clear();
  ClearDiscoveryList();
  soap_destroy(&soap);
  soap_end(&soap);
  soap_done(&soap);
}

}  // namespace
}  // namespace ferro
