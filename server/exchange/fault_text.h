#pragma once
// The text of the fault that answers a request which fails or is refused: a
// sender fault ("Client" in SOAP 1.1, "Sender" in SOAP 1.2) with the
// end-of-input text that clients of this service recognise. The operations
// answer their failures with it (service/fault.h) and the front its
// refusals, so both write the same fault.
//
// Code and string are the same for every failure, so a client that only
// tells fault from success keeps working. The reason-carrying variant adds a
// `detail` element (SOAP 1.1 "detail", SOAP 1.2 "SOAP-ENV:Detail") holding
// one element in the service's namespace whose text is one line a person can
// act on, for example
//   <ns:reason>no watched agent at position 2 (1 agent is watched)</ns:reason>
// One child element, not bare text: toolkits that hand the detail over as a
// list of its elements (Java's SOAP Detail, for one) see no text outside one.

#include <cstddef>
#include <string>
#include <string_view>

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

}  // namespace ferro
