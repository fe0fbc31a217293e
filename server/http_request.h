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

// Rewrites the numeric character references to code points above U+FFFF
// (such as "&#x1F600;") in XML text as the UTF-8 bytes they stand for. The
// SOAP runtime decodes such references into wide strings with a stray ";"
// behind the character; raw UTF-8 it decodes correctly. CDATA sections and
// comments, where a reference is literal text, stay as they are.
std::string DecodeAstralReferences(std::string_view xml);

// Prepares a complete request for the SOAP runtime: a chunked body is joined
// into one, astral character references are decoded, and the header's
// framing is rewritten to the new Content-Length. Requests that need none of
// this are left untouched.
void NormalizeRequest(std::string& request);

// Reads one request from a connected socket into `out`. The socket's own
// receive time-out bounds every wait. Returns the final status: kComplete
// when `out` holds a request to serve, kIncomplete when the peer sent nothing
// usable before closing or timing out.
FrameStatus ReadRequest(int fd, std::string& out);

}  // namespace ferro::http
