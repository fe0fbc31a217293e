#pragma once
// The text format that metrics scrapers read (version 0.0.4): for each
// family a "# HELP" and a "# TYPE" line, then one line per sample,
// "name{label="value",...} number". Label values are escaped (backslash,
// double quote, line feed) and made valid UTF-8; help texts are escaped
// (backslash, line feed). Nothing here knows what is measured: callers name
// their families and hand over the numbers.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace ferro::metrics {

enum class Type { kCounter, kGauge, kHistogram };

struct Label {
  std::string_view name;
  std::string_view value;
};

// A label value as it stands between the quotes: '\\', '"' and line feeds
// escaped, bytes that are not UTF-8 replaced with U+FFFD.
std::string EscapeLabelValue(std::string_view value);
// A help text as it stands on its line: '\\' and line feeds escaped.
std::string EscapeHelp(std::string_view help);
// A sample value: integers in full, others with up to 17 significant
// digits, and "+Inf", "-Inf", "NaN".
std::string FormatValue(double value);

class Writer {
 public:
  // Starts a family: its HELP and TYPE lines. Samples of the family follow.
  void Family(std::string_view name, Type type, std::string_view help);
  // One sample line. `name` is the whole sample name (for a counter the
  // family's name, which ends in "_total").
  void Sample(std::string_view name, std::initializer_list<Label> labels, double value);
  void Sample(std::string_view name, std::initializer_list<Label> labels, uint64_t value);
  void Sample(std::string_view name, double value) { Sample(name, {}, value); }
  void Sample(std::string_view name, uint64_t value) { Sample(name, {}, value); }
  // The lines of one histogram of family `name`: a "_bucket" line per upper
  // bound in `bounds` (ascending) and one for "+Inf", each with the count of
  // observations at or below it, then "_sum" and "_count". `counts` holds
  // the observations per bucket, not added up: one more than `bounds`, the
  // last for those above every bound.
  void Histogram(std::string_view name, std::initializer_list<Label> labels,
                 std::span<const double> bounds, std::span<const uint64_t> counts, double sum);

  const std::string& Text() const { return text_; }
  std::string Take() { return std::move(text_); }

 private:
  void Line(std::string_view name, std::initializer_list<Label> labels, const Label* extra,
            std::string_view value);

  std::string text_;
};

}  // namespace ferro::metrics
