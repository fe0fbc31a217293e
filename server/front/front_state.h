#pragma once
// What the HTTP front knows about the request being served on a context.

#include <cstddef>
#include <string_view>

struct soap;

namespace ferro {

// The request line (method, target, version) of the request being served,
// or empty when none is being served.
std::string_view CurrentRequestLine(const struct soap* soap);

// Makes room for an answer of `bytes` on the context being served, so that
// a large answer is written without growing its buffer step by step.
void ReserveAnswer(struct soap* soap, size_t bytes);

}  // namespace ferro
