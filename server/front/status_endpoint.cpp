#include "status_endpoint.h"

#include <mutex>
#include <utility>

#include "access_rule.h"
#include "http_answer.h"
#include "platform/diag.h"
#include "static_files.h"

namespace ferro {
namespace {

std::mutex& ProviderLock() {
  static std::mutex lock;
  return lock;
}

StatusProvider& Provider() {
  static StatusProvider provider;
  return provider;
}

std::string Answer(int status, std::string_view json) {
  return ClosingAnswer(status, "application/json", json);
}

}  // namespace

void SetStatusProvider(StatusProvider provider) {
  std::lock_guard lock(ProviderLock());
  Provider() = std::move(provider);
}

bool IsStatusRequest(const http::Request& request) {
  return request.method == "GET" && RequestPath(request.request_line) == kStatusPath;
}

std::string StatusAnswer(const http::Request& request, bool loopback) {
  if (!loopback || !FromOwnOrigin(request)) {
    // Other hosts may ask at will: their lines are limited.
    static DiagLimit refusals("refused status requests");
    refusals.Print("status request refused: %s\n",
                   loopback ? "from a web page of another origin" : "not from this machine");
    return Answer(403, loopback
                           ? R"({"error":"web pages of other origins are refused"})"
                           : R"({"error":"the status is served to this machine (loopback) only"})");
  }
  StatusProvider provider;
  {
    std::lock_guard lock(ProviderLock());
    provider = Provider();
  }
  if (!provider) return Answer(503, R"({"error":"no status yet"})");
  return Answer(200, provider());
}

}  // namespace ferro
