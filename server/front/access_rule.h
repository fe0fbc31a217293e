#pragma once
// Who may call the service. The user interface runs on the same machine, so
// SOAP requests are served to loopback peers only, and only when they do not
// come from a web page of another origin (a browser adds "Origin" to every
// cross-site POST, also one that needs no preflight). The static files of
// GET stay open to every peer.

#include <netinet/in.h>

#include <optional>
#include <string_view>

#include "request_parser.h"

namespace ferro {

// The one-line reason why `request` from `peer` is refused, or nothing when
// it may be served.
std::optional<std::string_view> RefusalReason(const http::Request& request, const in_addr& peer);

}  // namespace ferro
