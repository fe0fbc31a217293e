#include <iconv.h>

#include <array>
#include <cstdint>
#include <string_view>

#include "platform/codepage.h"

namespace ferro {
namespace {

// The code point of every byte of the code page, built once through iconv.
// Bytes that iconv cannot decode (undefined in the code page, or no iconv
// module at all) map to the code point of the same value.
std::array<char32_t, 256> BuildTable() {
  std::array<char32_t, 256> table{};
  for (size_t b = 0; b < table.size(); ++b) table[b] = static_cast<char32_t>(b);
  iconv_t cd = iconv_open("UTF-32LE", kAnsiCodePage);
  if (cd == reinterpret_cast<iconv_t>(-1)) return table;
  for (size_t b = 0x80; b < table.size(); ++b) {
    char in[1] = {static_cast<char>(b)};
    unsigned char out[4] = {};
    char* inPtr = in;
    char* outPtr = reinterpret_cast<char*>(out);
    size_t inLeft = 1, outLeft = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) && outLeft == 0) {
      table[b] = static_cast<char32_t>(out[0] | (out[1] << 8) | (out[2] << 16) | (out[3] << 24));
    }
  }
  iconv_close(cd);
  return table;
}

const std::array<char32_t, 256>& Table() {
  static const std::array<char32_t, 256> table = BuildTable();
  return table;
}

// Latin letters that have a precomposed form: an ASCII base letter followed
// by a combining mark becomes that one character before it is looked up in
// the code page, so "u" + U+0308 is stored as the code page's "ü" rather
// than "u?". Covers every composition in U+00C0-U+017F, the range of the
// Western, Central European and Baltic code pages.
struct Composition {
  char32_t mark;
  std::string_view bases;
  std::u16string_view composed;  // the same length as bases, letter by letter
};
constexpr Composition kCompositions[] = {
    {0x0300, "AEIOUaeiou", u"ÀÈÌÒÙàèìòù"},                              // grave accent
    {0x0301, "ACEILNORSUYZaceilnorsuyz", u"ÁĆÉÍĹŃÓŔŚÚÝŹáćéíĺńóŕśúýź"},  // acute accent
    {0x0302, "ACEGHIJOSUWYaceghijosuwy", u"ÂĈÊĜĤÎĴÔŜÛŴŶâĉêĝĥîĵôŝûŵŷ"},  // circumflex accent
    {0x0303, "AINOUainou", u"ÃĨÑÕŨãĩñõũ"},                              // tilde
    {0x0304, "AEIOUaeiou", u"ĀĒĪŌŪāēīōū"},                              // macron
    {0x0306, "AEGIOUaegiou", u"ĂĔĞĬŎŬăĕğĭŏŭ"},                          // breve
    {0x0307, "CEGIZcegz", u"ĊĖĠİŻċėġż"},                                // dot above
    {0x0308, "AEIOUYaeiouy", u"ÄËÏÖÜŸäëïöüÿ"},                          // diaeresis
    {0x030A, "AUau", u"ÅŮåů"},                                          // ring above
    {0x030B, "OUou", u"ŐŰőű"},                                          // double acute
    {0x030C, "CDELNRSTZcdelnrstz", u"ČĎĚĽŇŘŠŤŽčďěľňřšťž"},              // caron
    {0x0327, "CGKLNRSTcgklnrst", u"ÇĢĶĻŅŖŞŢçģķļņŗşţ"},                  // cedilla
    {0x0328, "AEIUaeiu", u"ĄĘĮŲąęįų"},                                  // ogonek
};

// The precomposed form of `base` + `mark`, or 0 when there is none.
char32_t Compose(char32_t base, char32_t mark) {
  if (base >= 0x80) return 0;
  for (const Composition& c : kCompositions) {
    if (c.mark != mark) continue;
    const size_t at = c.bases.find(static_cast<char>(base));
    return at == std::string_view::npos ? 0 : c.composed[at];
  }
  return 0;
}

char EncodeOne(char32_t cp) {
  const auto& table = Table();
  for (size_t b = 0; b < table.size(); ++b) {
    if (table[b] == cp) return static_cast<char>(b);
  }
  return '?';
}

}  // namespace

std::string WideToAnsi(std::wstring_view text, size_t maxBytes) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == 0 || out.size() >= maxBytes) break;
    auto cp = static_cast<char32_t>(text[i]);
    if (i + 1 < text.size()) {
      // A composed letter the code page has replaces the pair; otherwise the
      // base and the mark are converted one by one.
      const char32_t composed = Compose(cp, static_cast<char32_t>(text[i + 1]));
      if (composed != 0 && EncodeOne(composed) != '?') {
        cp = composed;
        ++i;
      }
    }
    out.push_back(EncodeOne(cp));
  }
  return out;
}

std::wstring AnsiToWide(std::string_view bytes, size_t maxUnits) {
  const auto& table = Table();
  std::wstring out;
  for (char c : bytes) {
    if (c == '\0' || out.size() >= maxUnits) break;
    out.push_back(static_cast<wchar_t>(table[static_cast<uint8_t>(c)]));
  }
  return out;
}

}  // namespace ferro
