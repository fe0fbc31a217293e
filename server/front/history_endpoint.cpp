#include "history_endpoint.h"

#include <mutex>
#include <utility>

#include "access_rule.h"
#include "http_answer.h"
#include "platform/diag.h"
#include "static_files.h"

namespace ferro {
namespace {

struct Providers {
  EventsProvider events;
  InventoryProvider inventory;
  ForgetProvider forget;
};

std::mutex& ProvidersLock() {
  static std::mutex lock;
  return lock;
}

Providers& TheProviders() {
  static Providers providers;
  return providers;
}

std::string Answer(const JsonAnswer& a, std::string_view allow = {}) {
  return ClosingAnswer(a.status, "application/json", a.json,
                       allow.empty() ? std::string() : "Allow: " + std::string(allow) + "\r\n");
}

}  // namespace

void SetHistoryProviders(EventsProvider events, InventoryProvider inventory,
                         ForgetProvider forget) {
  std::lock_guard lock(ProvidersLock());
  TheProviders() = Providers{std::move(events), std::move(inventory), std::move(forget)};
}

bool IsHistoryRequest(const http::Request& request) {
  const std::string_view path = RequestPath(request.request_line);
  return path == kEventsPath || path == kInventoryPath;
}

std::string_view RequestQuery(std::string_view request_line) {
  const size_t first = request_line.find(' ');
  if (first == std::string_view::npos) return {};
  std::string_view target = request_line.substr(first + 1);
  target = target.substr(0, target.find(' '));
  const size_t mark = target.find('?');
  return mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
}

std::string HistoryAnswer(const http::Request& request, bool loopback, SocketHandle fd) {
  static DiagLimit refusals("refused history requests");
  if (const auto refused =
          LocalReadRefusal(request, loopback, "history", "the history is", refusals)) {
    return Answer({403, R"({"error":")" + *refused + R"("})"});
  }
  const bool events = RequestPath(request.request_line) == kEventsPath;
  const std::string_view query = RequestQuery(request.request_line);
  Providers providers;
  {
    std::lock_guard lock(ProvidersLock());
    providers = TheProviders();
  }
  if (events) {
    if (request.method != "GET") {
      return Answer({405, R"({"error":"the events are read with GET"})"}, "GET");
    }
    if (!providers.events) return Answer({503, R"({"error":"no event history"})"});
    return Answer(providers.events(query));
  }
  if (request.method == "GET") {
    if (!providers.inventory) return Answer({503, R"({"error":"no inventory"})"});
    return Answer(providers.inventory(query));
  }
  if (request.method == "DELETE") {
    if (const auto reason = OwnerRefusal(fd)) {
      return Answer(
          {403,
           R"({"error":"only the server's own user or an administrator may forget an agent"})"});
    }
    if (!providers.forget) return Answer({503, R"({"error":"no inventory"})"});
    return Answer(providers.forget(query));
  }
  return Answer({405, R"({"error":"the inventory takes GET and DELETE"})"}, "GET, DELETE");
}

}  // namespace ferro
