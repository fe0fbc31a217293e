#pragma once
// How an operation reports failure to its client: a sender fault ("Client"
// in SOAP 1.1, "Sender" in SOAP 1.2) with the end-of-input text that clients
// of this service recognise. The fault is a real answer on the wire, so the
// client always learns the outcome, whatever the connection's time-outs.

#include "soapH.h"

namespace ferro {

inline constexpr const char* kOperationFailedText =
    "End of file or no input: message transfer interrupted";

inline int OperationFailed(struct soap* soap) {
  return soap_sender_fault(soap, kOperationFailedText, nullptr);
}

}  // namespace ferro
