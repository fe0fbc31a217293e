#include "service/switchinfo_convert.h"

#include <cstring>
#include <type_traits>

#include "platform/codepage.h"
#include "platform/text.h"
#include "protocol/agent_fields.h"
#include "protocol/packet.h"

namespace ferro {
namespace {

// Names (systemName, location) are 21-byte fields and at most 21 wide units.
constexpr size_t kNameLimit = 21;

template <size_t N>
void PutText(char (&field)[N], const std::string& text) {
  const size_t n = std::min(text.size(), N - 1);
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

void GetAddress(std::string& out, const uint8_t (&field)[4]) {
  char text[kIpTextSize];
  out.assign(text, FormatIpText(field, text));
}

template <size_t N>
void PutName(char (&field)[N], const std::wstring& name, bool utf8) {
  static_assert(N == kNameLimit);
  if (utf8) {
    WideToUtf8(name.c_str(), field, N);
  } else {
    // Whole characters only, and room kept for the NUL.
    PutText(field, WideToAnsi(name, N - 1));
  }
}

template <size_t N>
std::wstring GetName(const char (&field)[N], bool utf8) {
  static_assert(N == kNameLimit);
  if (!utf8) return AnsiToWide(std::string_view(field, strnlen(field, N)), kNameLimit);
  wchar_t buffer[kNameLimit + 1] = {};
  Utf8ToWide(field, N, buffer, kNameLimit);
  return std::wstring(buffer);
}

// A text field's length (up to its NUL, or its width) and whether every byte
// before that is ASCII from space up, found in one pass a word at a time:
// lists of thousands of agents convert some forty fields each.
struct FieldText {
  size_t length;
  bool ascii;
};

template <size_t N>
FieldText ScanField(const char (&field)[N]) {
  constexpr uint64_t kOnes = 0x0101010101010101u, kHigh = 0x8080808080808080u;
  uint64_t odd = 0;  // high bits of bytes below space or above 0x7F (exact up to the first)
  size_t i = 0;
  for (; i + 8 <= N; i += 8) {
    uint64_t w;
    std::memcpy(&w, field + i, sizeof w);
    const uint64_t zero = (w - kOnes) & ~w & kHigh;  // its lowest bit marks the first NUL
    const uint64_t here = (w & kHigh) | ((w - 0x20 * kOnes) & ~w & kHigh);
    if (zero != 0) {
      const auto bytes = static_cast<size_t>(__builtin_ctzll(zero) / 8);
      const uint64_t before = bytes == 0 ? 0 : ~uint64_t{0} >> (64 - 8 * bytes);
      return {i + bytes, (odd | (here & before)) == 0};
    }
    odd |= here;
  }
  for (; i < N; ++i) {
    const auto c = static_cast<unsigned char>(field[i]);
    if (c == 0) break;
    if (c < 0x20 || c >= 0x80) odd = 1;
  }
  return {i, odd == 0};
}

// Whether a text is well-formed XML text as it stands, so that the runtime's
// serialisation of it can need no repair: ASCII from space up at once (the
// runtime escapes what XML reserves), anything else as the repair pass
// judges it (which is strict: a text holding a reference that the pass would
// replace, though the runtime escapes its "&", counts as not well-formed).
bool WellFormedText(std::string_view text) { return !xml::RepairText(text); }

bool WellFormedName(const std::wstring& name) {
  for (size_t i = 0; i < name.size(); ++i) {
    auto c = static_cast<uint32_t>(name[i]);
    // Where wide text is UTF-16, a surrogate pair is one character (a lone
    // surrogate is no character XML allows).
    if (sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() &&
        name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(name[++i]) - 0xDC00);
    }
    if (!xml::XmlAllows(c)) return false;
  }
  return true;
}

// Fills the texts of a SwitchInfo and keeps track of whether every one of
// them is well-formed XML text.
struct TextGetter {
  bool well_formed = true;

  template <size_t N>
  void Text(std::string& out, const char (&field)[N]) {
    const FieldText text = ScanField(field);
    out.assign(field, text.length);
    if (!text.ascii && well_formed) well_formed = WellFormedText(out);
  }
  void Address(std::string& out, const uint8_t (&field)[4]) {
    GetAddress(out, field);  // digits and dots
  }
  template <size_t N>
  void Name(std::wstring& out, const char (&field)[N], bool utf8) {
    out = GetName(field, utf8);
    if (well_formed) well_formed = WellFormedName(out);
  }
};

void PutAddress(uint8_t (&field)[4], const std::string& text) {
  const std::array<uint8_t, 4> a = ParseIpText(text);
  std::memcpy(field, a.data(), a.size());
}

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// One SwitchInfo member to its record field and back, by the field's shape
// (the member's and the field's types tell the shapes apart).
template <size_t N>
void ToRecord(char (&field)[N], const std::string& text, bool) {
  PutText(field, text);
}
void ToRecord(char (&field)[kNameLimit], const std::wstring& name, bool utf8) {
  PutName(field, name, utf8);
}
void ToRecord(uint8_t (&field)[4], const std::string& text, bool) { PutAddress(field, text); }
void ToRecord(uint8_t (&field)[kMacSize], const std::string& text, bool) {
  ParseMacText(text, field);  // a bad text leaves the MAC zero
}
template <typename Field, typename Member>
requires std::is_arithmetic_v<Field> && std::is_arithmetic_v<Member>
void ToRecord(Field& field, Member value, bool) { field = static_cast<Field>(value); }

template <size_t N>
void ToMember(std::string& out, const char (&field)[N], bool, TextGetter& get) {
  get.Text(out, field);
}
void ToMember(std::wstring& out, const char (&field)[kNameLimit], bool utf8, TextGetter& get) {
  get.Name(out, field, utf8);
}
void ToMember(std::string& out, const uint8_t (&field)[4], bool, TextGetter& get) {
  get.Address(out, field);
}
void ToMember(std::string& out, const uint8_t (&field)[kMacSize], bool, TextGetter&) {
  char mac[kMacTextSize];
  FormatMacText(field, mac);
  out.assign(mac, kMacTextSize - 1);
}
template <typename Member, typename Field>
requires std::is_arithmetic_v<Field> && std::is_arithmetic_v<Member>
void ToMember(Member& out, Field value, bool, TextGetter&) { out = value; }

// The table's shapes are the contract's member types: names are wide text,
// the other texts, addresses and the MAC are text, numbers are numbers.
template <FieldShape S, typename M>
constexpr bool kMemberHasShape = S == FieldShape::kName     ? std::is_same_v<M, std::wstring>
                                 : S == FieldShape::kNumber ? std::is_arithmetic_v<M>
                                                            : std::is_same_v<M, std::string>;
#define FERRO_SHAPE_CHECK(name, shape, ...)                                            \
  static_assert(kMemberHasShape<FieldShape::k##shape, decltype(ns__SwitchInfo::name)>, \
                #name " has another type in the service header");
FERRO_SWITCHINFO_FIELDS(FERRO_SHAPE_CHECK)
#undef FERRO_SHAPE_CHECK

}  // namespace

void SwitchInfoToAgentRecord(const ns__SwitchInfo& info, AgentRecord& out) {
  out = ZeroAgentRecord();
  const bool utf8Names = (info.funBitmap0 & kNameUtf8Flag) != 0;
#define FERRO_TO_RECORD(name, ...) ToRecord(out.name, info.name, utf8Names);
  FERRO_SWITCHINFO_FIELDS(FERRO_TO_RECORD)
#undef FERRO_TO_RECORD
}

bool AgentRecordToSwitchInfo(const AgentRecord& r, ns__SwitchInfo& out) {
  const bool utf8Names = (r.funBitmap0 & kNameUtf8Flag) != 0;
  TextGetter get;
#define FERRO_TO_MEMBER(name, ...) ToMember(out.name, r.name, utf8Names, get);
  FERRO_SWITCHINFO_FIELDS(FERRO_TO_MEMBER)
#undef FERRO_TO_MEMBER
  return get.well_formed;
}

std::optional<std::array<uint8_t, 4>> ParseIpTextExact(std::string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  std::array<uint8_t, 4> bytes{};
  size_t pos = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    unsigned value = 0;
    size_t digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return std::nullopt;
    bytes[i] = static_cast<uint8_t>(value);
  }
  if (pos != text.size()) return std::nullopt;
  return bytes;
}

std::array<uint8_t, 4> ParseIpText(std::string_view text) {
  std::array<uint8_t, 4> bytes{};
  size_t pos = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != '.') break;
      ++pos;
    }
    while (pos < text.size() && IsSpace(text[pos])) ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
      negative = text[pos] == '-';
      ++pos;
    }
    if (pos >= text.size() || text[pos] < '0' || text[pos] > '9') break;
    // Only the low 8 bits matter, so the number is accumulated modulo 256.
    unsigned value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      value = (value * 10 + static_cast<unsigned>(text[pos] - '0')) & 0xFFu;
      ++pos;
    }
    bytes[i] = static_cast<uint8_t>(negative ? (256u - value) & 0xFFu : value);
  }
  return bytes;
}

int32_t ParseMacText(std::string_view text, uint8_t* out) {
  if (text.size() != 17) return -1;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool separator = i % 3 == 2;
    if (separator ? text[i] != '-' : HexDigit(text[i]) < 0) return -1;
  }
  for (size_t i = 0; i < 6; ++i) {
    out[i] = static_cast<uint8_t>(HexDigit(text[3 * i]) << 4 | HexDigit(text[3 * i + 1]));
  }
  return 0;
}

size_t FormatIpText(const uint8_t* a, char* out) {
  char* p = out;
  for (int i = 0; i < 4; ++i) {
    const unsigned v = a[i];
    if (i > 0) *p++ = '.';
    if (v >= 100) *p++ = static_cast<char>('0' + v / 100);
    if (v >= 10) *p++ = static_cast<char>('0' + v / 10 % 10);
    *p++ = static_cast<char>('0' + v % 10);
  }
  *p = '\0';
  return static_cast<size_t>(p - out);
}

void FormatMacText(const uint8_t* m, char* out) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (int i = 0; i < 6; ++i) {
    out[3 * i] = kHex[m[i] >> 4];
    out[3 * i + 1] = kHex[m[i] & 0xF];
    out[3 * i + 2] = i < 5 ? '-' : '\0';
  }
}

std::string FormatIpText(const uint8_t* a) {
  char text[kIpTextSize];
  return std::string(text, FormatIpText(a, text));
}

std::string FormatMacText(const uint8_t* m) {
  char text[kMacTextSize];
  FormatMacText(m, text);
  return std::string(text, kMacTextSize - 1);
}

uint64_t MacKey(const uint8_t* mac) {
  uint64_t key = 0;
  for (int i = 0; i < 6; ++i) key = key << 8 | mac[i];
  return key;
}

}  // namespace ferro
