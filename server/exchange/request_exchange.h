#pragma once
// The seam between the HTTP front and the SOAP operations: what an operation
// may learn about the request it serves, and ask of the front that serves
// it. The front implements RequestExchange for each request and makes it the
// service context's user data while the runtime serves; the operations reach
// it through the functions below. So neither layer includes the other.
//
// Each function also says what happens when no front serves the context (a
// test calling an operation directly, say).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

struct soap;

namespace ferro {

class RequestExchange {
 public:
  virtual std::string_view RequestLine() const = 0;
  virtual std::string_view RequestBody() const = 0;
  virtual bool PeerIsLocal() const = 0;
  virtual void ReserveAnswer(size_t bytes) = 0;
  virtual void AnswerIsWellFormed() = 0;
  virtual bool AnswerAcceptedNow() = 0;
  virtual bool AwaitAnswerTaken(uint32_t ms) = 0;
  // Called with *busy already false.
  virtual std::optional<int> RunAside(std::function<int()> work, bool* busy) = 0;

 protected:
  ~RequestExchange() = default;
};

// Makes `exchange` the exchange of the request the context serves (nullptr:
// none is served); RequestExchangeOf gives it back.
void SetRequestExchange(struct soap* soap, RequestExchange* exchange);
RequestExchange* RequestExchangeOf(const struct soap* soap);

// The request line (method, target, version) of the request being served,
// or empty when none is being served.
std::string_view CurrentRequestLine(const struct soap* soap);

// Whether the request being served comes from this machine (loopback), or
// none is being served.
bool CurrentPeerIsLocal(const struct soap* soap);

// The body of the request being served, as the runtime reads it, or empty
// when none is being served.
std::string_view CurrentRequestBody(const struct soap* soap);

// For an operation that must wait on something slow, such as a dialog the
// user takes their time with. The first time the operation runs for a
// request, `work` starts on a thread of its own and nothing is returned: the
// operation then returns kAnswerLater, and the request waits while every
// other request is served. When `work` has ended, the operation runs again
// for the same request, and this returns work's result. While one request's
// work is under way, another request's is not started: `*busy` is set and
// nothing returned. Without a front, `work` runs in place.
std::optional<int> RunAside(struct soap* soap, std::function<int()> work, bool* busy);
// What an operation returns after RunAside returned nothing (busy unset).
inline constexpr int kAnswerLater = 1000;  // SOAP_STOP: the runtime writes nothing

// Makes room for an answer of `bytes` on the context being served, so that
// a large answer is written without growing its buffer step by step.
void ReserveAnswer(struct soap* soap, size_t bytes);

// Declares, from inside an operation, that every text of its successful
// answer is well-formed XML text as it stands (valid UTF-8 of characters
// XML allows), so that the serialised answer cannot need repair: it then
// goes to the client as the runtime writes it instead of being held whole
// in memory for the repair pass. A fault answer is still held and repaired.
void AnswerIsWellFormed(const struct soap* soap);

// For an operation after which the process ends, so that the front never
// writes its answer: answers the request being served at once with
// "202 Accepted" and an empty body, the answer to a one-way operation (HTTP
// clients wait for a status line even when no message comes back). False
// when there is no client to answer: none served through the front, or it
// has left.
bool AnswerAcceptedNow(struct soap* soap);

// After AnswerAcceptedNow: waits until the client has the answer and has
// closed its end, at most `ms` (a little longer while the answer is not yet
// acknowledged), reading what it still sends, and closes the connection, so
// that the end of the process cannot reset it before the client has read
// the answer. Returns whether the client has the answer.
bool AwaitAnswerTaken(struct soap* soap, uint32_t ms);

}  // namespace ferro
