#pragma once
// What the HTTP front knows about the request being served on a context.

#include <string_view>

struct soap;

namespace ferro {

// The request line (method, target, version) of the request being served,
// or empty when none is being served.
std::string_view CurrentRequestLine(const struct soap* soap);

}  // namespace ferro
