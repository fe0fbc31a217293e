#pragma once
// What the HTTP front knows about the request being served on a context.

#include <cstddef>
#include <string_view>

struct soap;

namespace ferro {

// The request line (method, target, version) of the request being served,
// or empty when none is being served.
std::string_view CurrentRequestLine(const struct soap* soap);

// The body of the request being served, as the runtime reads it, or empty
// when none is being served.
std::string_view CurrentRequestBody(const struct soap* soap);

// Makes room for an answer of `bytes` on the context being served, so that
// a large answer is written without growing its buffer step by step.
void ReserveAnswer(struct soap* soap, size_t bytes);

// Declares, from inside an operation, that every text of its successful
// answer is well-formed XML text as it stands (valid UTF-8 of characters
// XML allows), so that the serialised answer cannot need repair: it then
// goes to the client as the runtime writes it instead of being held whole
// in memory for the repair pass. A fault answer is still held and repaired.
void AnswerIsWellFormed(const struct soap* soap);

}  // namespace ferro
