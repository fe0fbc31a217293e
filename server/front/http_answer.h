#pragma once
// The whole HTTP answer of the front's own endpoints (/api/*, /metrics):
// one place for the status line and the headers they all send.

#include <string>
#include <string_view>

namespace ferro {

// "200 OK", "404 Not Found", ... for a status the front answers with; any
// other reads "500 Internal Server Error".
const char* HttpStatusText(int status);

// An answer that is never cached and closes the connection: the status line,
// Content-Type, Cache-Control: no-store, Content-Length, Connection: close,
// then `extra` (whole header lines, each ending in "\r\n") and the body.
std::string ClosingAnswer(int status, std::string_view contentType, std::string_view body,
                          std::string_view extra = {});

}  // namespace ferro
