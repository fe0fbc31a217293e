#include "history/event_query.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ctime>

#include "platform/text.h"

namespace ferro::history {
namespace {

// A query string longer than this is refused whole: no filter needs it.
constexpr size_t kMaxQueryBytes = 4096;

std::optional<std::string> PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      const int hi = HexDigit(text[i + 1]);
      const int lo = HexDigit(text[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      out.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::optional<int64_t> ParseInteger(std::string_view text, int64_t min, int64_t max) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value < min || value > max) return std::nullopt;
  return value;
}

// `n` decimal digits at `at` of `text`.
std::optional<int> Digits(std::string_view text, size_t at, size_t n) {
  if (at + n > text.size()) return std::nullopt;
  int v = 0;
  for (size_t i = at; i < at + n; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    v = v * 10 + (text[i] - '0');
  }
  return v;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

// Times from the year 1970 to 9999: enough for any event.
constexpr int64_t kMaxSeconds = 253402300799;  // 9999-12-31T23:59:59Z

std::optional<int64_t> ParseRfc3339(std::string_view t) {
  const auto year = Digits(t, 0, 4);
  const auto month = Digits(t, 5, 2);
  const auto day = Digits(t, 8, 2);
  const auto hour = Digits(t, 11, 2);
  const auto minute = Digits(t, 14, 2);
  const auto second = Digits(t, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  if (t[4] != '-' || t[7] != '-' || (t[10] != 'T' && t[10] != 't' && t[10] != ' ') ||
      t[13] != ':' || t[16] != ':') {
    return std::nullopt;
  }
  if (*year < 1970 || *month < 1 || *month > 12 || *day < 1 || *day > DaysInMonth(*year, *month) ||
      *hour > 23 || *minute > 59 || *second > 60) {
    return std::nullopt;
  }
  size_t at = 19;
  int64_t millis = 0;
  if (at < t.size() && t[at] == '.') {
    ++at;
    const size_t start = at;
    int64_t scale = 100;
    while (at < t.size() && t[at] >= '0' && t[at] <= '9') {
      millis += (t[at] - '0') * scale;
      scale /= 10;
      ++at;
    }
    if (at == start || at - start > 9) return std::nullopt;
  }
  int64_t offset_s = 0;
  if (at < t.size() && (t[at] == 'Z' || t[at] == 'z')) {
    ++at;
  } else if (at < t.size() && (t[at] == '+' || t[at] == '-')) {
    const auto oh = Digits(t, at + 1, 2);
    const auto om = Digits(t, at + 4, 2);
    if (!oh || !om || at + 3 >= t.size() || t[at + 3] != ':' || *oh > 23 || *om > 59) {
      return std::nullopt;
    }
    offset_s = (*oh * 60 + *om) * 60 * (t[at] == '+' ? 1 : -1);
    at += 6;
  } else {
    return std::nullopt;  // a time without its zone is ambiguous
  }
  if (at != t.size()) return std::nullopt;
  const int64_t seconds = DaysFromCivil(*year, *month, *day) * 86400 + *hour * 3600 + *minute * 60 +
                          std::min(*second, 59) - offset_s;
  if (seconds < 0 || seconds > kMaxSeconds) return std::nullopt;
  return seconds * 1000 + millis;
}

}  // namespace

bool IsEventKind(std::string_view kind) {
  return std::find(std::begin(kEventKinds), std::end(kEventKinds), kind) != std::end(kEventKinds);
}

std::optional<Mac> ParseMac(std::string_view text) {
  if (text.size() != 17) return std::nullopt;
  const char sep = text[2];
  if (sep != ':' && sep != '-') return std::nullopt;
  Mac mac{};
  for (size_t i = 0; i < 6; ++i) {
    const int hi = HexDigit(text[i * 3]);
    const int lo = HexDigit(text[i * 3 + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    if (i < 5 && text[i * 3 + 2] != sep) return std::nullopt;
    mac[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return mac;
}

std::string FormatMac(const Mac& mac) {
  char text[18];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return text;
}

std::optional<int64_t> ParseTime(std::string_view text) {
  if (!text.empty() &&
      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    const auto seconds = ParseInteger(text, 0, kMaxSeconds);
    if (!seconds) return std::nullopt;
    return *seconds * 1000;
  }
  return ParseRfc3339(text);
}

std::string FormatTime(int64_t ms) {
  if (ms < 0) ms = 0;
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(ms % 1000));
  return text;
}

std::optional<std::string> QueryParameter(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const size_t eq = pair.find('=');
    if (pair.substr(0, eq) != name) continue;
    return PercentDecode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1));
  }
  return std::nullopt;
}

std::optional<std::string> ParseEventQuery(std::string_view query, EventQuery* out) {
  EventQuery q;
  if (query.size() > kMaxQueryBytes) return "the query is too long";
  std::vector<std::string_view> seen;
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (pair.empty()) continue;
    const size_t eq = pair.find('=');
    const std::string_view name = pair.substr(0, eq);
    const auto value =
        PercentDecode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1));
    const std::string shown(name.substr(0, 32));
    if (!value) return "parameter " + shown + ": bad percent-encoding";
    if (std::find(seen.begin(), seen.end(), name) != seen.end()) {
      return "parameter " + shown + " is given twice";
    }
    seen.push_back(name);
    const std::string& v = *value;
    if (name == "after" || name == "before") {
      const auto id = ParseInteger(v, 0, INT64_MAX);
      if (!id) return "parameter " + shown + ": an event id (a whole number) is expected";
      (name == "after" ? q.after : q.before) = *id;
    } else if (name == "since" || name == "until") {
      const auto t = ParseTime(v);
      if (!t) {
        return "parameter " + shown +
               ": a UTC time like 2026-12-09T20:40:00Z or seconds since the epoch is expected";
      }
      (name == "since" ? q.since_ms : q.until_ms) = *t;
    } else if (name == "mac") {
      q.mac = ParseMac(v);
      if (!q.mac) return "parameter mac: six hex pairs joined by ':' or '-' are expected";
    } else if (name == "kind") {
      std::string_view list = v;
      while (true) {
        const size_t comma = list.find(',');
        const std::string_view kind = list.substr(0, comma);
        if (!IsEventKind(kind)) {
          return "parameter kind: \"" + std::string(kind.substr(0, 32)) + "\" is no event kind";
        }
        if (std::find(q.kinds.begin(), q.kinds.end(), kind) == q.kinds.end()) {
          q.kinds.emplace_back(kind);
        }
        if (comma == std::string_view::npos) break;
        list = list.substr(comma + 1);
      }
    } else if (name == "limit") {
      const auto n = ParseInteger(v, 1, kMaxQueryLimit);
      if (!n) return "parameter limit: a number from 1 to " + std::to_string(kMaxQueryLimit);
      q.limit = static_cast<int>(*n);
    } else if (name == "order") {
      if (v != "asc" && v != "desc") return "parameter order: asc or desc";
      q.ascending = v == "asc";
    } else {
      return "unknown parameter \"" + shown + "\"";
    }
  }
  *out = std::move(q);
  return std::nullopt;
}

}  // namespace ferro::history
