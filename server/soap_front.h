#pragma once
// The HTTP/SOAP listener on TCP 64567 and its request loop: one connection
// at a time, each read whole, served and closed before the next.

#include <cstdint>

struct soap;

namespace ferro {

inline constexpr uint16_t kServicePort = 64567;
inline constexpr int kServiceBacklog = 100;
// Idle limit for reading a request and writing its answer. Without it one
// silent client would hold the (single-threaded) request loop for ever.
inline constexpr int kConnectionIdleSeconds = 10;

// Sets up a service context the way the server uses it: UTF-8 strings passed
// through, XML tree serialisation (no multi-references), the GET callback,
// the framing hooks below, SO_REUSEADDR on the listener and no SIGPIPE.
void InitServiceContext(struct soap* soap);

// Serves the connection that soap_accept just returned on `soap`: reads the
// request whole, lets the runtime answer it, closes the connection and frees
// the request's data.
void ServeAcceptedConnection(struct soap* soap);

}  // namespace ferro
