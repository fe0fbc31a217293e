#include "soap_front.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "access_rule.h"
#include "answer_buffer.h"
#include "exchange/fault_text.h"
#include "exchange/request_exchange.h"
#include "history_endpoint.h"
#include "metrics_endpoint.h"
#include "platform/diag.h"
#include "platform/socket.h"
#include "platform/socket_owner.h"
#include "platform/tick.h"
#include "push_channel.h"
#include "runtime_input.h"
#include "soapH.h"
#include "static_files.h"
#include "status_endpoint.h"
#include "xml_text.h"

namespace ferro {
namespace {

// What the runtime reads and writes while it serves one request: its input
// is the request in memory (so the end of the request is the end of input,
// and nothing the client does can make the runtime wait), its output the
// answer, either in memory (written to the client by the front once it is
// whole and repaired) or, when it needs no repair, streamed to the
// connection as it is made. The operations reach it as the context's
// RequestExchange.
struct Exchange final : RequestExchange {
  const http::Request* request = nullptr;
  // The input in two pieces, so that a large body is never copied for it.
  std::string_view input[2];
  size_t consumed = 0;  // of the whole input
  Connection* connection = nullptr;
  // How the handler hands a waiting connection back to its front.
  const RequestHandler::Resumer* resume = nullptr;
  // The answer would pass the front's answer budget: it is not made.
  bool over_budget = false;
  // The operation declared every text of its answer well-formed.
  bool well_formed = false;
  bool stream = false;  // output goes to the connection
  size_t written = 0;   // bytes of output, wherever they went
  std::string output;
  // Why the operation was not served to this caller (the owner rule).
  std::optional<std::string> refused;
  bool later = false;       // the operation answers once its work aside is done
  std::string operation;    // the name of the operation the request names, if read
  bool dispatched = false;  // the runtime knows that operation
  bool fault = false;       // the answer is a fault

  std::string_view RequestLine() const override {
    return request == nullptr ? std::string_view() : std::string_view(request->request_line);
  }
  std::string_view RequestBody() const override { return input[1]; }
  bool PeerIsLocal() const override { return connection == nullptr || connection->loopback(); }
  void ReserveAnswer(size_t bytes) override {
    if (!stream) output.reserve(output.size() + bytes);
  }
  void AnswerIsWellFormed() override { well_formed = true; }
  bool AnswerAcceptedNow() override;
  bool AwaitAnswerTaken(uint32_t ms) override {
    return connection != nullptr && connection->LingerThenClose(ms);
  }
  std::optional<int> RunAside(std::function<int()> work, bool* busy) override;
};

// Room for the header before the body, and the most taken ahead of the body
// (a larger answer grows as it is written).
constexpr size_t kHeaderRoom = 1024;
constexpr ULONG64 kMaxReservedAnswer = 256ull << 20;

// The answer to a request whose own answer would pass the answer budget.
constexpr std::string_view kOverBudgetAnswer =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nRetry-After: 1\r\n"
    "Connection: close\r\n\r\n";

Exchange* ExchangeOf(const struct soap* soap) {
  return static_cast<Exchange*>(RequestExchangeOf(soap));
}

size_t ReceiveFromMemory(struct soap* soap, char* buf, size_t len) {
  Exchange* ex = ExchangeOf(soap);
  if (ex == nullptr) return 0;
  size_t offset = ex->consumed;
  for (std::string_view piece : ex->input) {
    if (offset < piece.size()) {
      const size_t n = std::min(len, piece.size() - offset);
      std::memcpy(buf, piece.data() + offset, n);
      ex->consumed += n;
      return n;
    }
    offset -= piece.size();
  }
  return 0;
}

int SendAnswer(struct soap* soap, const char* data, size_t len) {
  Exchange* ex = ExchangeOf(soap);
  if (ex == nullptr) return SOAP_OK;
  ex->written += len;
  if (ex->stream) {
    ex->connection->Stream(std::string_view(data, len));
  } else {
    ex->output.append(data, len);
  }
  return SOAP_OK;
}

int (*runtime_post_header)(struct soap*, const char*, const char*) = nullptr;
int (*runtime_response)(struct soap*, int, ULONG64) = nullptr;

// Response writer, called once the runtime knows the body's length (from its
// counting pass) and before it writes the header. A successful answer whose
// operation declared its text well-formed needs no repair, so it streams to
// the client as it is made. Otherwise the answer's memory is taken once (the
// spare of an earlier large answer when it is large enough) rather than
// grown step by step through a large list.
int Response(struct soap* soap, int status, ULONG64 length) {
  Exchange* ex = ExchangeOf(soap);
  // An answer the connections' answer budget has no room for is not made,
  // nor is a fault in its place.
  if (ex != nullptr && ex->written == 0 && ex->connection != nullptr &&
      (ex->over_budget || !ex->connection->ReserveAnswer(std::max(
                              static_cast<size_t>(length) + kHeaderRoom, ex->output.capacity())))) {
    ex->over_budget = true;
    return soap->error = SOAP_STOP;
  }
  if (ex != nullptr && ex->written == 0 && ex->connection != nullptr && status == SOAP_OK &&
      ex->well_formed) {
    ex->stream = true;
  }
  if (ex != nullptr && !ex->stream && ex->output.empty() && length < kMaxReservedAnswer) {
    ex->output = FrontAnswerBuffers().Take(static_cast<size_t>(length) + kHeaderRoom, GetTick());
  }
  return runtime_response(soap, status, length);
}

// Header writer: the runtime says "202 Accepted" for an empty answer where
// our clients expect "202 ACCEPTED", and adds a framing policy header that
// the service never sent; everything else passes unchanged.
int PostHeader(struct soap* soap, const char* key, const char* value) {
  if (key != nullptr && std::strcmp(key, "X-Frame-Options") == 0) return SOAP_OK;
  if (key != nullptr && value == nullptr && std::strncmp(key, "HTTP/", 5) == 0) {
    const char* status = std::strchr(key, ' ');
    if (status != nullptr && std::strcmp(status, " 202 Accepted") == 0) {
      const std::string line =
          std::string(key, static_cast<size_t>(status - key)) + " 202 ACCEPTED";
      return runtime_post_header(soap, line.c_str(), nullptr);
    }
  }
  return runtime_post_header(soap, key, value);
}

// The SOAP version of a request that the runtime does not read: 1.2 when its
// content type or envelope says so.
int SoapVersionOf(const http::Request& request) {
  return request.header.find("application/soap+xml") != std::string::npos ||
                 request.body.find("http://www.w3.org/2003/05/soap-envelope") != std::string::npos
             ? 2
             : 1;
}

// Output in packets of the runtime's buffer size, as it does on a socket of
// its own: unbuffered, every tag and value would be its own append. Set
// before every request, since the runtime drops the mode when it answers a
// GET.
void UseBufferedOutput(struct soap* soap) {
  soap->omode = (soap->omode & ~SOAP_IO) | SOAP_IO_BUFFER;
}

// Whether the operation the runtime has just peeked at (its element in
// soap->tag) only reads, matched exactly as the dispatcher matches it.
bool PeekedOperationOnlyReads(struct soap* soap) {
  // The operations' qualified tags, made once: this runs for every request.
  static const std::vector<std::string> tags = [] {
    std::vector<std::string> out;
    for (std::string_view name : ReadOnlyOperations()) out.push_back("ns:" + std::string(name));
    return out;
  }();
  for (const std::string& tag : tags) {
    if (soap_match_tag(soap, soap->tag, tag.c_str()) == SOAP_OK) return true;
  }
  return false;
}

// The runtime's serve step, with the owner rule between reading which
// operation a request names and dispatching it: the rule looks at the very
// element the dispatcher goes by, so the two can never disagree.
void ServeGated(struct soap* soap, Exchange& ex) {
  if (soap_begin_serve(soap) != SOAP_OK) {
    ex.fault = true;
    return;
  }
  soap_peek_element(soap);
  const char* colon = std::strrchr(soap->tag, ':');
  ex.operation = colon != nullptr ? colon + 1 : soap->tag;
  if (ex.connection != nullptr && !PeekedOperationOnlyReads(soap)) {
    ex.refused = OwnerRefusal(ex.connection->fd());
    if (ex.refused) return;
  }
  const int served = soap_serve_request(soap);
  ex.dispatched = served != SOAP_NO_METHOD;
  if ((served != SOAP_OK || (soap->fserveloop != nullptr && soap->fserveloop(soap) != SOAP_OK)) &&
      soap->error != SOAP_OK && soap->error < SOAP_STOP) {
    ex.fault = true;
    soap_send_fault(soap);
  }
}

bool Exchange::AnswerAcceptedNow() {
  static constexpr std::string_view kAccepted =
      "HTTP/1.1 202 Accepted\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  if (connection == nullptr) return false;
  // Tiny, on a socket that has sent nothing yet: the time allowed is only
  // for a client whose side is stuck.
  return connection->SendNow(kAccepted, 1000);
}

std::optional<int> Exchange::RunAside(std::function<int()> work, bool* busy) {
  // The work under way, if any (the front serves on one thread).
  static std::weak_ptr<AsideWork> running;
  if (connection == nullptr || resume == nullptr || !*resume) return work();
  if (const auto& done = connection->aside(); done && done->done) return done->result;
  if (const auto current = running.lock(); current && !current->done) {
    *busy = true;
    return std::nullopt;
  }
  auto box = std::make_shared<AsideWork>();
  running = box;
  connection->Wait(box);
  later = true;
  std::thread([box, work = std::move(work), resume_front = *resume, id = connection->id()] {
    box->result = work();
    box->done = true;
    resume_front(id);
  }).detach();
  return std::nullopt;
}

}  // namespace

void InitServiceContext(struct soap* soap) {
  soap_init(soap);
  soap->mode |= SOAP_C_UTFSTRING;
  soap->imode |= SOAP_C_UTFSTRING;
  soap->omode |= SOAP_C_UTFSTRING;
  UseBufferedOutput(soap);
  // Not SOAP_XML_TREE: it would drop the encodingStyle attribute that SOAP
  // 1.2 answers carry on the response element. Every member is a value, so
  // nothing is ever shared and no multi-reference is ever written.
  // The runtime checks a list's size before it adds the next entry, so it
  // lets a list grow to one entry past its bound.
  soap->maxoccurs = kMaxListEntries - 1;
  soap->maxlength = kMaxTextBytes;
  soap->fget = StaticFileHandler;
  soap->frecv = ReceiveFromMemory;
  soap->fsend = SendAnswer;
  // The front owns the connection: the runtime neither polls, shuts nor
  // closes it. (It would skip a fault for a client that half-closed after
  // its request, which is a client like any other.)
  soap->fpoll = [](struct soap*) { return SOAP_OK; };
  soap->fclose = [](struct soap*) { return SOAP_OK; };
  soap->fshutdownsocket = [](struct soap*, SOAP_SOCKET, int) { return SOAP_OK; };
  soap->fclosesocket = [](struct soap*, SOAP_SOCKET) { return SOAP_OK; };
  runtime_post_header = soap->fposthdr;
  runtime_response = soap->fresponse;
  soap->fresponse = Response;
  soap->fposthdr = PostHeader;
#ifdef _WIN32
  // There SO_REUSEADDR would let another program bind the same port beside
  // the server and take its requests: the port is held exclusively.
  soap->bind_flags = SO_EXCLUSIVEADDRUSE;
#else
  soap->bind_flags = SO_REUSEADDR;
#endif
  soap->socket_flags = kNoSignalFlag;
}

std::string SoapHandler::RunRuntime(Connection& connection, std::string_view head,
                                    std::string_view body, bool* streamed,
                                    ServedOperation* served) {
  const http::Request& request = connection.request();
  Exchange ex;
  ex.request = &request;
  ex.input[0] = head;
  ex.input[1] = body;
  ex.connection = &connection;
  ex.resume = &resume_;
  SetRequestExchange(soap_, &ex);
  UseBufferedOutput(soap_);
  ServeGated(soap_, ex);
  soap_destroy(soap_);
  soap_end(soap_);
  if (served != nullptr) {
    served->name = ex.operation;
    served->dispatched = ex.dispatched;
    served->fault = ex.fault || ex.refused || ex.over_budget || ex.written == 0;
  }
  if (ex.refused) {
    std::printf("SOAP request %s from %s refused: %s\n", ex.operation.c_str(),
                connection.peer_text().c_str(), ex.refused->c_str());
    std::fflush(stdout);
    SetRequestExchange(soap_, nullptr);
    std::string answer = RefusalFault(request, *ex.refused);
    // Not served for who is asking: 403, with the reason in the fault.
    const size_t space = answer.find(' ');
    const size_t end = answer.find("\r\n");
    if (space != std::string::npos && end != std::string::npos && space < end) {
      answer.replace(space + 1, end - space - 1, "403 Forbidden");
    }
    return answer;
  }
  if (ex.later) {
    SetRequestExchange(soap_, nullptr);
    return {};
  }
  if (ex.written == 0 && request.method != "GET") {
    // The runtime stops without a word on a POST whose body is not a SOAP
    // envelope. Every request gets an answer: the runtime's fault for a
    // message that is not SOAP.
    soap_begin(soap_);
    soap_set_version(soap_, 1);
    soap_->error = SOAP_VERSIONMISMATCH;
    soap_send_fault(soap_);
    soap_destroy(soap_);
    soap_end(soap_);
  }
  SetRequestExchange(soap_, nullptr);
  *streamed = ex.stream;
  if (ex.over_budget) return std::string(kOverBudgetAnswer);
  return std::move(ex.output);
}

std::string SoapHandler::RefusalFault(const http::Request& request, std::string_view reason) {
  Exchange ex;
  ex.request = &request;
  SetRequestExchange(soap_, &ex);
  UseBufferedOutput(soap_);
  soap_begin(soap_);
  // Through the runtime's switch, which also sets the envelope's namespace:
  // the namespace table still holds the version of the last request read.
  soap_set_version(soap_, static_cast<short>(SoapVersionOf(request)));
  const std::string detail = FaultDetailXml(reason);
  soap_sender_fault(soap_, kOperationFailedText, detail.empty() ? nullptr : detail.c_str());
  soap_send_fault(soap_);
  soap_destroy(soap_);
  soap_end(soap_);
  SetRequestExchange(soap_, nullptr);
  return std::move(ex.output);
}

bool SoapHandler::WantsBody(const Connection& connection) {
  if (ForStore(connection)) return firmware_->WantsBody(connection);
  if (IsHistoryRequest(connection.request())) return false;
  return !RefusalReason(connection.request(), connection.peer().sin_addr);
}

std::unique_ptr<BodySink> SoapHandler::BodySinkFor(const Connection& connection) {
  return ForStore(connection) ? firmware_->StartUpload(connection) : nullptr;
}

std::string SoapHandler::Serve(Connection& connection) {
  if (ForStore(connection)) return firmware_->Serve(connection);
  const http::Request& request = connection.request();
  if (IsStatusRequest(request)) return StatusAnswer(request, connection.loopback());
  if (IsMetricsRequest(request)) return MetricsAnswer(request, connection.loopback());
  if (IsHistoryRequest(request)) {
    return HistoryAnswer(request, connection.loopback(), connection.fd());
  }
  if (request.method == "GET") {
    // The static file callback matches the request line itself; the runtime
    // only needs to see a GET, so a request line longer than it reads still
    // gets the page.
    // A file (at most 512,000 bytes) goes out in one piece once it is
    // written: streamed, it would take a send and a wake-up of the client
    // per packet of the runtime's buffer.
    const std::string version = request.version == "HTTP/1.0" ? "HTTP/1.0" : "HTTP/1.1";
    bool streamed = false;
    return RunRuntime(connection, "GET / " + version + "\r\n\r\n", {}, &streamed);
  }
  // A request that waited for work aside is timed from its first turn.
  const bool resumed = connection.id() == aside_id_ && connection.aside() != nullptr;
  const auto start = resumed ? aside_start_ : std::chrono::steady_clock::now();
  ServedOperation served;
  std::string answer = ServeSoap(connection, &served);
  if (connection.state() == Connection::State::kWaiting) {
    aside_id_ = connection.id();
    aside_start_ = start;
    return answer;
  }
  if (resumed) aside_id_ = 0;
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  SoapRequests().Record(served.name, served.dispatched, served.fault, took.count());
  return answer;
}

std::string SoapHandler::ServeSoap(Connection& connection, ServedOperation* served) {
  const http::Request& request = connection.request();
  if (const auto reason = RefusalReason(request, connection.peer().sin_addr)) {
    // Another host may send refused requests at will: their lines are limited.
    static DiagLimit refusals("refused SOAP requests");
    refusals.Print("SOAP request from %s refused: %.*s\n", connection.peer_text().c_str(),
                   static_cast<int>(reason->size()), reason->data());
    served->fault = true;
    return RefusalFault(request, *reason);
  }
  std::string decoded;
  std::string_view body = request.body;
  if (body.find("&#") != std::string_view::npos) {
    decoded = xml::DecodeAstralReferences(body);
    body = decoded;
  }
  if (const auto refusal = RuntimeInputRefusal(request, body)) {
    served->fault = true;
    return RefusalFault(request, *refusal);
  }
  bool streamed = false;
  std::string answer =
      RunRuntime(connection, request.FramedHeader(body.size()), body, &streamed, served);
  if (!streamed) xml::RepairAnswer(answer);
  return answer;
}

namespace {

// Ends the process when another program holds one of the server's ports:
// it would otherwise get the browser's requests or the notices.
[[noreturn]] void ExitPortTaken(uint16_t port, const char* what) {
  const std::optional<PortHolder> holder = TcpPortHolder(0, port);
  std::fprintf(stderr, "Ferrolink: TCP port %u (the %s port) is taken by %s; ending.\n",
               static_cast<unsigned>(port), what,
               holder ? DescribePortHolder(*holder).c_str() : "another program");
  std::exit(-1);
}

bool IsAddressInUse(int error) {
#ifdef _WIN32
  return error == WSAEADDRINUSE;
#else
  return error == EADDRINUSE;
#endif
}

}  // namespace

SocketHandle OpenServiceListener(struct soap* service) {
  StartSockets();
  // IPv4 by name: the front reads its peers as IPv4 addresses, and asked
  // for any address the runtime takes the resolver's first answer, which
  // on Windows is often the IPv6 one.
  const SOAP_SOCKET master = soap_bind(service, "0.0.0.0", kServicePort, kServiceBacklog);
  if (!soap_valid_socket(master)) {
    if (IsAddressInUse(service->errnum)) ExitPortTaken(kServicePort, "service");
    soap_print_fault(service, stderr);
    std::exit(-1);
  }
  std::printf("Socket connection successful: master socket = %d\n", static_cast<int>(master));
  std::fflush(stdout);
  return master;
}

void OpenPushChannel() {
  if (!ThePushChannel().Listen() && IsAddressInUse(LastSocketError()))
    ExitPortTaken(kPushPort, "push channel");
  std::thread(PushThread).detach();
}

}  // namespace ferro
