#include "access_rule.h"

#include <arpa/inet.h>

#include <algorithm>
#include <string>

#include "soap_front.h"

namespace ferro {
namespace {

bool IEquals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
           return lower(x) == lower(y);
         });
}

}  // namespace

std::optional<std::string_view> RefusalReason(const http::Request& request, const in_addr& peer) {
  if (request.method == "GET") return std::nullopt;
  if ((ntohl(peer.s_addr) >> 24) != 127) {
    return "the service answers SOAP requests from this machine (loopback) only";
  }
  if (request.has_origin) {
    static const std::string own[] = {"http://127.0.0.1:" + std::to_string(kServicePort),
                                      "http://localhost:" + std::to_string(kServicePort)};
    if (!IEquals(request.origin, own[0]) && !IEquals(request.origin, own[1])) {
      return "SOAP requests from web pages of other origins are refused";
    }
  }
  return std::nullopt;
}

}  // namespace ferro
