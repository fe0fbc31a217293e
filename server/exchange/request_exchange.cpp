#include "exchange/request_exchange.h"

#include <stdsoap2.h>

#include <utility>

namespace ferro {

void SetRequestExchange(struct soap* soap, RequestExchange* exchange) { soap->user = exchange; }

RequestExchange* RequestExchangeOf(const struct soap* soap) {
  return static_cast<RequestExchange*>(soap->user);
}

std::string_view CurrentRequestLine(const struct soap* soap) {
  const RequestExchange* ex = RequestExchangeOf(soap);
  return ex == nullptr ? std::string_view() : ex->RequestLine();
}

bool CurrentPeerIsLocal(const struct soap* soap) {
  const RequestExchange* ex = RequestExchangeOf(soap);
  return ex == nullptr || ex->PeerIsLocal();
}

std::string_view CurrentRequestBody(const struct soap* soap) {
  const RequestExchange* ex = RequestExchangeOf(soap);
  return ex == nullptr ? std::string_view() : ex->RequestBody();
}

std::optional<int> RunAside(struct soap* soap, std::function<int()> work, bool* busy) {
  static_assert(kAnswerLater == SOAP_STOP);
  *busy = false;
  RequestExchange* ex = RequestExchangeOf(soap);
  return ex == nullptr ? work() : ex->RunAside(std::move(work), busy);
}

void ReserveAnswer(struct soap* soap, size_t bytes) {
  if (RequestExchange* ex = RequestExchangeOf(soap)) ex->ReserveAnswer(bytes);
}

void AnswerIsWellFormed(const struct soap* soap) {
  if (RequestExchange* ex = RequestExchangeOf(soap)) ex->AnswerIsWellFormed();
}

bool AnswerAcceptedNow(struct soap* soap) {
  RequestExchange* ex = RequestExchangeOf(soap);
  return ex != nullptr && ex->AnswerAcceptedNow();
}

bool AwaitAnswerTaken(struct soap* soap, uint32_t ms) {
  RequestExchange* ex = RequestExchangeOf(soap);
  return ex != nullptr && ex->AwaitAnswerTaken(ms);
}

}  // namespace ferro
