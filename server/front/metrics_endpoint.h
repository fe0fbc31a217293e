#pragma once
// GET /metrics: the server's metrics in the text format that metrics
// scrapers read. The front serves them and counts the SOAP requests it
// answers (by operation and outcome, with their time); the rest comes from
// a provider that the program wires in (the front knows nothing of the
// engine). Served to this machine (loopback) only, and not to web pages of
// other origins, like the status.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/metrics_text.h"
#include "request_parser.h"

namespace ferro {

inline constexpr std::string_view kMetricsPath = "/metrics";
inline constexpr std::string_view kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// Writes the program's metric families; called on the front's thread for
// each scrape, so it must be quick.
using MetricsProvider = std::function<void(metrics::Writer&)>;
void SetMetricsProvider(MetricsProvider provider);

// Whether `request` asks for the metrics (a GET of kMetricsPath, any query
// aside).
bool IsMetricsRequest(const http::Request& request);

// The whole HTTP answer to a metrics request from a peer that is on this
// machine (`loopback`) or not: 200 with the provider's families and the
// SOAP requests', 403 for another host or a foreign page. Never cached.
std::string MetricsAnswer(const http::Request& request, bool loopback);

// The SOAP requests answered, by operation and outcome, and how long each
// took from its turn to its answer (a request that waits for work aside
// counts that wait). The operations' names come from requests, so their
// number is bounded: a name gets series of its own only once the runtime
// has dispatched a request naming it (any other, a refused one say, counts
// as "unknown" unless its name is counted already), and at most
// kMaxOperations names do; later ones count as "other".
class SoapRequestStats {
 public:
  static constexpr size_t kMaxOperations = 64;
  static constexpr size_t kMaxNameBytes = 64;
  // Upper bounds of the time buckets, in seconds: 100 us to 10 s.
  static constexpr std::array<double, 16> kBounds = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005,
                                                     0.01,   0.025,   0.05,   0.1,   0.25,   0.5,
                                                     1,      2.5,     5,      10};

  void Record(std::string_view operation, bool dispatched, bool fault, double seconds);
  // ferrolink_soap_requests_total and ferrolink_soap_request_duration_seconds.
  void Write(metrics::Writer& out) const;
  void Clear();

 private:
  struct Entry {
    std::string name;
    uint64_t ok = 0;
    uint64_t fault = 0;
    std::array<uint64_t, kBounds.size() + 1> buckets{};
    double sum = 0;
  };
  Entry& EntryFor(std::string_view operation, bool dispatched);

  mutable std::mutex lock_;
  std::vector<Entry> entries_;  // in order of first use
};
SoapRequestStats& SoapRequests();

}  // namespace ferro
