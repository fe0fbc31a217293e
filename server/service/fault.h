#pragma once
// How an operation reports failure to its client: a sender fault ("Client"
// in SOAP 1.1, "Sender" in SOAP 1.2) with the end-of-input text that clients
// of this service recognise. The fault is a real answer on the wire, so the
// client always learns the outcome, whatever the connection's time-outs.
//
// Code and string are the same for every failure, so a client that only
// tells fault from success keeps working. The reason-carrying variant adds a
// `detail` element (SOAP 1.1 "detail", SOAP 1.2 "SOAP-ENV:Detail") holding
// one element in the service's namespace whose text is one line a person can
// act on, for example
//   <ns:reason>no watched agent at position 2 (1 agent is watched)</ns:reason>
// One child element, not bare text: toolkits that hand the detail over as a
// list of its elements (Java's SOAP Detail, for one) see no text outside one.

#include <string>
#include <string_view>

#include "soapH.h"

namespace ferro {

inline constexpr const char* kOperationFailedText =
    "End of file or no input: message transfer interrupted";

// The longest reason sent, in bytes; a longer one is cut at a character
// boundary and ends in "...".
inline constexpr size_t kFaultReasonMax = 240;

// The reason as element text: one line of valid UTF-8 (control characters
// and broken sequences become '?'), the XML special characters escaped, at
// most kFaultReasonMax bytes before escaping.
std::string FaultReasonXml(std::string_view reason);

// The content of the detail element for `reason`: the reason element with
// FaultReasonXml's text, or nothing when the reason is empty.
std::string FaultDetailXml(std::string_view reason);

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
