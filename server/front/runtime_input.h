#pragma once
// The one check of a request as the SOAP runtime is given it, made before
// the runtime reads a byte of it. The runtime reads some of the header and
// of the markup its own way (a misspelt transfer coding, attachments, an
// unquoted attribute value); whatever it would read otherwise than the
// front does is refused, so that the bounds checked here are the bounds of
// what it reads.

#include <optional>
#include <string_view>

#include "request_parser.h"

namespace ferro {

// Longest request line and header line the runtime is given: its own
// buffers hold 2,047 and 8,191 bytes.
inline constexpr size_t kMaxRuntimeRequestLine = 2000;
inline constexpr size_t kMaxRuntimeHeaderLine = 8000;

// Why the runtime must not read `request` with `body` in place of its body,
// or nothing when it may.
std::optional<std::string_view> RuntimeInputRefusal(const http::Request& request,
                                                    std::string_view body);

}  // namespace ferro
