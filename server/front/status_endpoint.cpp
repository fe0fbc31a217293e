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
  static DiagLimit refusals("refused status requests");
  if (const auto refused =
          LocalReadRefusal(request, loopback, "status", "the status is", refusals)) {
    return Answer(403, R"({"error":")" + *refused + R"("})");
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
