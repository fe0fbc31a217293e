#include "platform/metrics_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/text.h"

namespace ferro::metrics {

std::string EscapeLabelValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size();) {
    const char c = value[i];
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
      ++i;
    } else if (c == '\n') {
      out += "\\n";
      ++i;
    } else if (const Utf8Sequence seq = DecodeUtf8(value, i); seq.length != 0) {
      out.append(value.substr(i, seq.length));
      i += seq.length;
    } else {
      out += "\xEF\xBF\xBD";  // U+FFFD for one byte that is not UTF-8
      ++i;
    }
  }
  return out;
}

std::string EscapeHelp(std::string_view help) {
  std::string out;
  out.reserve(help.size());
  for (const char c : help) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string FormatValue(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[40];
  if (value == std::trunc(value) && std::fabs(value) < 1e15) {
    std::snprintf(text, sizeof text, "%.0f", value);
    return text;
  }
  // The shortest form that reads back as the same number: 0.0001, not
  // 0.00010000000000000001.
  for (int digits = 1; digits <= 17; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    if (std::strtod(text, nullptr) == value) break;
  }
  return text;
}

void Writer::Family(std::string_view name, Type type, std::string_view help) {
  static constexpr std::string_view kTypes[] = {"counter", "gauge", "histogram"};
  text_ += "# HELP ";
  text_ += name;
  text_ += ' ';
  text_ += EscapeHelp(help);
  text_ += "\n# TYPE ";
  text_ += name;
  text_ += ' ';
  text_ += kTypes[static_cast<size_t>(type)];
  text_ += '\n';
}

void Writer::Line(std::string_view name, std::initializer_list<Label> labels, const Label* extra,
                  std::string_view value) {
  text_ += name;
  if (labels.size() != 0 || extra != nullptr) {
    char separator = '{';
    auto add = [&](const Label& label) {
      text_ += separator;
      text_ += label.name;
      text_ += "=\"";
      text_ += EscapeLabelValue(label.value);
      text_ += '"';
      separator = ',';
    };
    for (const Label& label : labels) add(label);
    if (extra != nullptr) add(*extra);
    text_ += '}';
  }
  text_ += ' ';
  text_ += value;
  text_ += '\n';
}

void Writer::Sample(std::string_view name, std::initializer_list<Label> labels, double value) {
  Line(name, labels, nullptr, FormatValue(value));
}

void Writer::Sample(std::string_view name, std::initializer_list<Label> labels, uint64_t value) {
  Line(name, labels, nullptr, std::to_string(value));
}

void Writer::Histogram(std::string_view name, std::initializer_list<Label> labels,
                       std::span<const double> bounds, std::span<const uint64_t> counts,
                       double sum) {
  const std::string bucket = std::string(name) + "_bucket";
  uint64_t total = 0;
  for (size_t i = 0; i <= bounds.size(); ++i) {
    total += i < counts.size() ? counts[i] : 0;
    const std::string le = i < bounds.size() ? FormatValue(bounds[i]) : "+Inf";
    const Label extra{"le", le};
    Line(bucket, labels, &extra, std::to_string(total));
  }
  Line(std::string(name) + "_sum", labels, nullptr, FormatValue(sum));
  Line(std::string(name) + "_count", labels, nullptr, std::to_string(total));
}

}  // namespace ferro::metrics
