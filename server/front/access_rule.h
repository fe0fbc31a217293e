#pragma once
// Who may call the service. The user interface runs on the same machine, so
// SOAP requests are served to loopback peers only, and only when they do not
// come from a web page of another origin (a browser adds "Origin" to every
// cross-site POST, also one that needs no preflight). The static files of
// GET stay open to every peer.

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/diag.h"
#include "platform/socket.h"
#include "request_parser.h"

namespace ferro {

// The one-line reason why `request` from `peer` is refused, or nothing when
// it may be served.
std::optional<std::string_view> RefusalReason(const http::Request& request, const in_addr& peer);

// Whether `request` comes from no web page or from the server's own page (a
// browser names the page's origin on every cross-site request).
bool FromOwnOrigin(const http::Request& request);

// Why a read-only endpoint of this machine's own (the status, the metrics,
// the history) refuses `request`: it came from another host (`loopback`
// false) or from a web page of another origin. `what` names the endpoint in
// the log line ("status request refused: ..."), one line of `limit` each
// (other hosts may ask at will), and `subject` in the answer ("the status
// is" served to this machine only). Nothing when it is served.
std::optional<std::string> LocalReadRefusal(const http::Request& request, bool loopback,
                                            const char* what, const char* subject,
                                            DiagLimit& limit);

// Beyond that, the machine may have other users. Reading what the server
// knows is open to each of them, but an operation that changes state, reads
// or writes files, or stops the server is served only to a caller whose
// socket belongs to the server's own user, to root, or to a member of the
// administrators group (none unless named). The operations that only read:
std::span<const std::string_view> ReadOnlyOperations();

// Names the administrators group; empty names none.
void SetAdministratorsGroup(std::string group);

// Serves state-changing requests to every caller on this machine
// (loopback), whoever owns its socket: for a machine with one user, or a
// test system whose callers' owners cannot be told (Wine names no owner
// of any connection). Off by default.
void SetTrustLocalUsers(bool on);
bool TrustLocalUsers();

// The one-line reason why the caller on the connected socket `s` may not
// change state, or nothing when it may. A caller whose owner the kernel
// cannot tell is refused (unless local users are trusted and it is on
// this machine).
std::optional<std::string> OwnerRefusal(SocketHandle s);

}  // namespace ferro
