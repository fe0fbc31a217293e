// The metrics text format as scrapers parse it (label values and help texts
// escaped, values written so that they read back the same, histogram
// buckets added up), and the lock-free counters by key that stop growing at
// their limit.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/keyed_counters.h"
#include "platform/metrics_text.h"

namespace ferro {
namespace {

using metrics::EscapeHelp;
using metrics::EscapeLabelValue;
using metrics::FormatValue;

TEST(MetricsText, EscapesWhatWouldEndAValueOrALine) {
  EXPECT_EQ(EscapeLabelValue(R"(a\b"c)"), R"(a\\b\"c)");
  EXPECT_EQ(EscapeLabelValue("two\nlines"), "two\\nlines");
  // Bytes that are not UTF-8 become U+FFFD; valid text passes untouched.
  EXPECT_EQ(EscapeLabelValue("caf\xE9!"), "caf\xEF\xBF\xBD!");
  EXPECT_EQ(EscapeLabelValue("\xC3\xA9\xE2\x82\xAC"), "\xC3\xA9\xE2\x82\xAC");
  // A help text keeps its quotes: only backslash and line feed are escaped.
  EXPECT_EQ(EscapeHelp("say \"x\\y\"\nnext"), "say \"x\\\\y\"\\nnext");
}

TEST(MetricsText, ValuesReadBackTheSame) {
  EXPECT_EQ(FormatValue(0), "0");
  EXPECT_EQ(FormatValue(12345678901234), "12345678901234");
  EXPECT_EQ(FormatValue(0.0001), "0.0001");
  EXPECT_EQ(FormatValue(2.5), "2.5");
  EXPECT_EQ(FormatValue(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(FormatValue(std::numeric_limits<double>::infinity()), "+Inf");
  EXPECT_EQ(FormatValue(-std::numeric_limits<double>::infinity()), "-Inf");
  EXPECT_EQ(FormatValue(std::numeric_limits<double>::quiet_NaN()), "NaN");
}

TEST(MetricsText, FamiliesSamplesAndHistograms) {
  metrics::Writer out;
  out.Family("x_total", metrics::Type::kCounter, "Things.\nCounted.");
  out.Sample("x_total", uint64_t{18446744073709551615u});
  out.Sample("x_total", {{"a", "1"}, {"b", "q\""}}, 0.5);
  const std::array<double, 2> bounds = {0.001, 1};
  const std::array<uint64_t, 3> counts = {2, 0, 3};  // 3 above every bound
  out.Family("t_seconds", metrics::Type::kHistogram, "Time.");
  out.Histogram("t_seconds", {{"op", "A"}}, bounds, counts, 7.25);
  EXPECT_EQ(out.Text(),
            "# HELP x_total Things.\\nCounted.\n"
            "# TYPE x_total counter\n"
            "x_total 18446744073709551615\n"
            "x_total{a=\"1\",b=\"q\\\"\"} 0.5\n"
            "# HELP t_seconds Time.\n"
            "# TYPE t_seconds histogram\n"
            "t_seconds_bucket{op=\"A\",le=\"0.001\"} 2\n"
            "t_seconds_bucket{op=\"A\",le=\"1\"} 2\n"
            "t_seconds_bucket{op=\"A\",le=\"+Inf\"} 5\n"
            "t_seconds_sum{op=\"A\"} 7.25\n"
            "t_seconds_count{op=\"A\"} 5\n");
}

std::map<uint64_t, uint64_t> Counts(const KeyedCounters& counters) {
  std::map<uint64_t, uint64_t> out;
  counters.ForEach([&](uint64_t key, uint64_t count) { out[key] = count; });
  return out;
}

TEST(KeyedCounters, FirstKeysCountedThenOther) {
  KeyedCounters counters(3);
  for (uint64_t key : {7u, 7u, 0u, 1u << 20, 9u, 11u, 12u, 7u, 9u}) counters.Add(key);
  EXPECT_EQ(Counts(counters), (std::map<uint64_t, uint64_t>{{7, 3}, {1u << 20, 1}, {9, 2}}));
  EXPECT_EQ(counters.Other(), 2u);  // 11 and 12; key 0 is no key

  // Many threads adding the same keys at once lose no count and never give
  // a key two counters.
  KeyedCounters shared(64);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) shared.Add(1 + static_cast<uint64_t>(i % 100));
    });
  }
  for (std::thread& t : threads) t.join();
  uint64_t total = shared.Other();
  for (const auto& [key, count] : Counts(shared)) total += count;
  EXPECT_EQ(total, 80000u);
  EXPECT_LE(Counts(shared).size(), 64u + 3u);  // racing first adds may pass the limit by a few
}

}  // namespace
}  // namespace ferro
