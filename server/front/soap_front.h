#pragma once
// The SOAP runtime behind the HTTP front: the listener on TCP 64567, the one
// service context, and the handler that gives the runtime each complete
// request in memory and takes its whole answer back.

#include <chrono>
#include <cstdint>
#include <string>

#include "firmware_store.h"
#include "front.h"

struct soap;

namespace ferro {

inline constexpr uint16_t kServicePort = 64567;
inline constexpr int kServiceBacklog = 100;
// Bounds on what one request may hold, so that the memory of its data stays
// in proportion to the request: no caller sends more entries in one list, or
// a longer text in one member (names, addresses and paths, all short).
inline constexpr size_t kMaxListEntries = 10000;
inline constexpr long kMaxTextBytes = 64 * 1024;

// Sets up a service context the way the server uses it: UTF-8 strings passed
// through, bounded lists, the GET callback, SO_REUSEADDR on the listener,
// and the runtime's input and output kept in memory.
void InitServiceContext(struct soap* soap);

// Serves complete requests with the runtime of `soap` (set up by
// InitServiceContext): the access rule first, then GET through the static
// file callback and everything else through the dispatcher. Answers are
// repaired into well-formed XML on their way out, except those whose
// operation declared their text well-formed: they stream to the client as
// the runtime writes them.
class SoapHandler final : public RequestHandler {
 public:
  // Requests for /api/firmware go to `firmware` when one is given.
  explicit SoapHandler(struct soap* soap, FirmwareStore* firmware = nullptr)
      : soap_(soap), firmware_(firmware) {}
  std::string Serve(Connection& connection) override;
  // A caller the access rule refuses gets its answer without sending (and
  // making the server hold) a body.
  bool WantsBody(const Connection& connection) override;
  std::unique_ptr<BodySink> BodySinkFor(const Connection& connection) override;

 private:
  // What a SOAP request came to, for the request counts.
  struct ServedOperation {
    std::string name;         // the operation it names, as read; empty if none was
    bool dispatched = false;  // the runtime knows that operation
    bool fault = false;       // the answer is a fault (or none could be made)
  };
  // The runtime's own answer to the connection's request, given to it as
  // `head` + `body`: streamed to the connection when the operation declares
  // its answer well-formed (then `*streamed` is set and what is returned is
  // empty), else returned whole.
  // A caller the owner rule refuses gets a 403 answer with the reason.
  // `served`, when given, learns what the request came to.
  std::string RunRuntime(Connection& connection, std::string_view head, std::string_view body,
                         bool* streamed, ServedOperation* served = nullptr);
  // Everything but GET: the access rule, the input check, then the runtime.
  std::string ServeSoap(Connection& connection, ServedOperation* served);
  // A failure fault with `reason` as its detail, in SOAP 1.1 or 1.2.
  std::string RefusalFault(const http::Request& request, std::string_view reason);

  bool ForStore(const Connection& connection) const {
    return firmware_ != nullptr && FirmwareStore::Handles(connection.request());
  }

  struct soap* soap_;
  FirmwareStore* firmware_;
  // The request waiting for work aside (at most one at a time) and when it
  // had its first turn.
  uint64_t aside_id_ = 0;
  std::chrono::steady_clock::time_point aside_start_;
};

// The front's two listeners, opened at start in this order (both ports or
// none: a server without its push channel would leave the notices to
// whoever holds that port). Each ends the process (exit -1) when it cannot
// open its port, naming the program that holds it.
// The service's listener on TCP 64567 for `service` (set up by
// InitServiceContext): returns its socket, for the Front to serve.
SocketHandle OpenServiceListener(struct soap* service);
// The push channel's listener (127.0.0.1:64568), and the thread that takes
// its client.
void OpenPushChannel();

}  // namespace ferro
