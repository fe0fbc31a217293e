#include "access_rule.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <string>

#include "platform/socket_owner.h"
#include "platform/text.h"
#include "soap_front.h"

namespace ferro {
std::optional<std::string_view> RefusalReason(const http::Request& request, const in_addr& peer) {
  if (request.method == "GET") return std::nullopt;
  if ((ntohl(peer.s_addr) >> 24) != 127) {
    return "the service answers SOAP requests from this machine (loopback) only";
  }
  if (!FromOwnOrigin(request)) return "SOAP requests from web pages of other origins are refused";
  return std::nullopt;
}

bool FromOwnOrigin(const http::Request& request) {
  if (!request.has_origin) return true;
  static const std::string own[] = {"http://127.0.0.1:" + std::to_string(kServicePort),
                                    "http://localhost:" + std::to_string(kServicePort)};
  return IEquals(request.origin, own[0]) || IEquals(request.origin, own[1]);
}

std::optional<std::string> LocalReadRefusal(const http::Request& request, bool loopback,
                                            const char* what, const char* subject,
                                            DiagLimit& limit) {
  if (loopback && FromOwnOrigin(request)) return std::nullopt;
  limit.Print("%s request refused: %s\n", what,
              loopback ? "from a web page of another origin" : "not from this machine");
  if (loopback) return "web pages of other origins are refused";
  return std::string(subject) + " served to this machine (loopback) only";
}

std::span<const std::string_view> ReadOnlyOperations() {
  static constexpr std::array<std::string_view, 9> kReadOnly = {
      "GetSwitchInfoList", "GetMonitorStatus",        "GetUpgradeStatus",
      "GetUpgradingAgent", "GetRefreshTime",          "GetRefreshTimeEx",
      "GetReqXmlList",     "GetUtilityGroupInterval", "GetReqXmlFile"};
  return kReadOnly;
}

namespace {

std::mutex& GroupLock() {
  static std::mutex lock;
  return lock;
}
std::string& Group() {
  static std::string group;
  return group;
}
std::atomic<bool> trust_local_users{false};

// Whether the peer of the connected socket `s` is on this machine.
bool LoopbackPeer(SocketHandle s) {
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  return ::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &size) == 0 &&
         peer.sin_family == AF_INET && (ntohl(peer.sin_addr.s_addr) >> 24) == 127;
}

}  // namespace

void SetAdministratorsGroup(std::string group) {
  std::lock_guard lock(GroupLock());
  Group() = std::move(group);
}

void SetTrustLocalUsers(bool on) { trust_local_users = on; }
bool TrustLocalUsers() { return trust_local_users; }

std::optional<std::string> OwnerRefusal(SocketHandle s) {
  if (trust_local_users && LoopbackPeer(s)) return std::nullopt;
  const std::optional<uint32_t> owner = LocalPeerOwner(s);
  if (!owner) return "the caller's user cannot be told (only the server's user may change it)";
  if (*owner == 0 || *owner == ProcessUser()) return std::nullopt;
  std::string group;
  {
    std::lock_guard lock(GroupLock());
    group = Group();
  }
  if (!group.empty() && UserInGroup(*owner, group)) return std::nullopt;
  return DescribeUser(*owner) +
         (group.empty() ? " is neither the server's user nor root"
                        : " is not the server's user, root or a member of group " + group) +
         ": only reading is open to other users";
}

}  // namespace ferro
