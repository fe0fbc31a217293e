#pragma once
// Framing of one HTTP request as it arrives on a connection: where the
// header ends and how many body bytes belong to it. The server reads each
// request whole before the SOAP runtime parses it, so that a client that
// lies about its length, or sends XML the parser cannot finish, can never
// make the parser wait on the socket.

#include <cstddef>
#include <string>
#include <string_view>

namespace ferro::http {

// Upper bounds for one request; anything larger is refused.
inline constexpr size_t kMaxHeaderBytes = 64 * 1024;
inline constexpr size_t kMaxBodyBytes = 32 * 1024 * 1024;

enum class FrameStatus {
  kIncomplete,  // more bytes are needed
  kComplete,    // `length` bytes form the request
  kTooLarge,    // header or body exceeds the bounds above
  kMalformed,   // a framing header cannot be read
};

struct FrameResult {
  FrameStatus status = FrameStatus::kIncomplete;
  size_t length = 0;
};

// Looks at the bytes received so far. `peer_closed` tells that no more will
// come: a request cut short then counts as complete, and the parser reports
// the truncation as a fault.
FrameResult ScanRequest(std::string_view data, bool peer_closed);

// The first line of the request (method, target, version), without its line end.
std::string_view RequestLine(std::string_view data);

// Reads one request from a connected socket into `out`. The socket's own
// receive time-out bounds every wait. Returns the final status: kComplete
// when `out` holds a request to serve, kIncomplete when the peer sent nothing
// usable before closing or timing out.
FrameStatus ReadRequest(int fd, std::string& out);

}  // namespace ferro::http
