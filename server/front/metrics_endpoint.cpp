#include "metrics_endpoint.h"

#include <algorithm>
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

MetricsProvider& Provider() {
  static MetricsProvider provider;
  return provider;
}

// A name as a request gave it, fit to be a label value of its own: letters,
// digits and '_' only, not too long.
bool PlainName(std::string_view name) {
  return !name.empty() && name.size() <= SoapRequestStats::kMaxNameBytes &&
         std::all_of(name.begin(), name.end(), [](char c) {
           return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '_';
         });
}

}  // namespace

void SetMetricsProvider(MetricsProvider provider) {
  std::lock_guard lock(ProviderLock());
  Provider() = std::move(provider);
}

bool IsMetricsRequest(const http::Request& request) {
  return request.method == "GET" && RequestPath(request.request_line) == kMetricsPath;
}

std::string MetricsAnswer(const http::Request& request, bool loopback) {
  static DiagLimit refusals("refused metrics requests");
  if (const auto refused =
          LocalReadRefusal(request, loopback, "metrics", "the metrics are", refusals)) {
    return ClosingAnswer(403, "text/plain; charset=utf-8", *refused + "\n");
  }
  MetricsProvider provider;
  {
    std::lock_guard lock(ProviderLock());
    provider = Provider();
  }
  metrics::Writer out;
  if (provider) provider(out);
  SoapRequests().Write(out);
  return ClosingAnswer(200, kMetricsContentType, out.Text());
}

SoapRequestStats::Entry& SoapRequestStats::EntryFor(std::string_view operation, bool dispatched) {
  const std::string_view name = PlainName(operation) ? operation : "unknown";
  const auto find = [&](std::string_view wanted) {
    return std::find_if(entries_.begin(), entries_.end(),
                        [&](const Entry& e) { return e.name == wanted; });
  };
  auto it = find(name);
  if (it != entries_.end()) return *it;
  // A new name: its own series only for an operation the runtime knows, and
  // while there is room (two places stay for "unknown" and "other").
  std::string_view use = name;
  if (!dispatched || name == "unknown") {
    use = "unknown";
  } else if (entries_.size() >= kMaxOperations - 2) {
    use = "other";
  }
  it = find(use);
  if (it != entries_.end()) return *it;
  Entry& entry = entries_.emplace_back();
  entry.name = use;
  return entry;
}

void SoapRequestStats::Record(std::string_view operation, bool dispatched, bool fault,
                              double seconds) {
  std::lock_guard lock(lock_);
  Entry& entry = EntryFor(operation, dispatched);
  ++(fault ? entry.fault : entry.ok);
  const size_t bucket = static_cast<size_t>(
      std::lower_bound(kBounds.begin(), kBounds.end(), seconds) - kBounds.begin());
  ++entry.buckets[bucket];
  entry.sum += std::max(seconds, 0.0);
}

void SoapRequestStats::Write(metrics::Writer& out) const {
  std::lock_guard lock(lock_);
  out.Family("ferrolink_soap_requests_total", metrics::Type::kCounter,
             "SOAP requests answered, by operation and outcome (fault: the answer was a fault "
             "or no answer could be made). Operations the service does not know count as "
             "\"unknown\".");
  for (const Entry& e : entries_) {
    out.Sample("ferrolink_soap_requests_total", {{"operation", e.name}, {"outcome", "ok"}}, e.ok);
    out.Sample("ferrolink_soap_requests_total", {{"operation", e.name}, {"outcome", "fault"}},
               e.fault);
  }
  out.Family("ferrolink_soap_request_duration_seconds", metrics::Type::kHistogram,
             "Time from a SOAP request's turn to its answer, by operation.");
  for (const Entry& e : entries_) {
    out.Histogram("ferrolink_soap_request_duration_seconds", {{"operation", e.name}}, kBounds,
                  e.buckets, e.sum);
  }
}

void SoapRequestStats::Clear() {
  std::lock_guard lock(lock_);
  entries_.clear();
}

SoapRequestStats& SoapRequests() {
  static SoapRequestStats stats;
  return stats;
}

}  // namespace ferro
