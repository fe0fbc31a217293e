#pragma once
// How an operation reports failure to its client: the fault whose text
// exchange/fault_text.h describes, written on the operation's context. The
// fault is a real answer on the wire, so the client always learns the
// outcome, whatever the connection's time-outs.

#include <string>
#include <string_view>

#include "exchange/fault_text.h"
#include "soapH.h"

namespace ferro {

// "monitorNum 3 asks for more agents than are watched (2)": the reason of
// the listing operations that are asked for more watched agents than exist.
std::string TooFewWatchedReason(int asked, size_t watched);

inline int OperationFailed(struct soap* soap) {
  return soap_sender_fault(soap, kOperationFailedText, nullptr);
}

// The same fault with a reason in its detail element. The runtime copies the
// text, so `reason` may be a temporary.
inline int OperationFailed(struct soap* soap, std::string_view reason) {
  const std::string detail = FaultDetailXml(reason);
  return soap_sender_fault(soap, kOperationFailedText, detail.empty() ? nullptr : detail.c_str());
}

}  // namespace ferro
