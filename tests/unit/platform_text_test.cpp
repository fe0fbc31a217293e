// The text module: UTF-8 read and written (strictly, and in the loose form
// agents' names keep), and the repair that makes answers well-formed while
// valid text passes untouched; and the SHA-256 sums shown for stored
// firmware images.

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/codepage.h"
#include "platform/sha256.h"
#include "platform/text.h"

namespace ferro {
namespace {

using xml::RepairText;

// The strict reading and its variant for the repair differ only in an
// encoded surrogate: one reads it as a character, the other as no UTF-8.
TEST(Utf8, StrictReadingsDifferOnlyInSurrogates) {
  for (const std::string_view bad :
       {"\x80", "\xC0\xAF", "\xC3", "\xE6\x97", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF",
        "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xC3\x28"}) {
    EXPECT_EQ(DecodeUtf8(bad, 0).length, 0u) << bad;
    EXPECT_EQ(DecodeUtf8KeepingSurrogates(bad, 0).length, 0u) << bad;
  }
  EXPECT_EQ(DecodeUtf8("\xED\xA0\x80", 0).length, 0u);
  const Utf8Sequence surrogate = DecodeUtf8KeepingSurrogates("\xED\xA0\x80", 0);
  EXPECT_EQ(surrogate.code_point, 0xD800u);
  EXPECT_EQ(surrogate.length, 3u);
  const std::string_view text = "a\xC3\xBC\xE2\x82\xAC\xF4\x8F\xBF\xBF";
  size_t pos = 0;
  for (const uint32_t cp : {0x61u, 0xFCu, 0x20ACu, 0x10FFFFu}) {
    const Utf8Sequence c = DecodeUtf8(text, pos);
    ASSERT_NE(c.length, 0u);
    EXPECT_EQ(c.code_point, cp);
    std::string again;
    AppendUtf8(again, cp);
    EXPECT_EQ(again, text.substr(pos, c.length));
    pos += c.length;
  }
}

TEST(Utf8, DecodeAndEncodeEveryLength) {
  char buf[6];
  const std::pair<uint32_t, size_t> cases[] = {{0x41, 1},      {0xFC, 2},     {0x20AC, 3},
                                               {0x1F600, 4},   {0x200000, 5}, {0x4000000, 6},
                                               {0x7FFFFFFF, 6}};
  for (auto [cp, len] : cases) {
    ASSERT_EQ(EncodeUtf8Char(cp, buf), len) << cp;
    const Utf8Char c = DecodeUtf8Char(buf, len);
    EXPECT_EQ(c.codePoint, cp);
    EXPECT_EQ(c.length, static_cast<int>(len));
  }
  EXPECT_EQ(std::string(buf, EncodeUtf8Char(0x1F600, buf)), "\xF0\x9F\x98\x80");
  // A stray continuation byte is one character of its own value.
  EXPECT_EQ(DecodeUtf8Char("\x80", 1).codePoint, 0x80u);
  // A sequence cut short by a NUL or by the end is not decoded.
  EXPECT_EQ(DecodeUtf8Char("\xE2\x82", 3).length, 0);
  EXPECT_EQ(DecodeUtf8Char("\xE2\x82\0", 3).length, 0);
}

TEST(Utf8, ToWideKeepsWholeCodePointsAndLimits) {
  wchar_t out[22];
  // A 4-byte character keeps its whole code point: one unit where wchar_t
  // has 32 bits, a surrogate pair where it has 16, and never half a pair.
  EXPECT_EQ(std::wstring(out, Utf8ToWide("a\xF0\x9F\x98\x80", 5, out, 21)), L"a\U0001F600");
  EXPECT_EQ(Utf8ToWide("ab\xF0\x9F\x98\x80", 6, out, 4), sizeof(wchar_t) == 2 ? 2u : 3u);
  const std::string many(30, 'x');
  EXPECT_EQ(Utf8ToWide(many.c_str(), many.size(), out, 21), 20u);
  EXPECT_EQ(out[20], 0);
  // The bound on the input is respected even without a NUL.
  const char noNul[3] = {'a', 'b', 'c'};
  EXPECT_EQ(Utf8ToWide(noNul, 2, out, 21), 2u);
  // A truncated sequence ends the conversion.
  EXPECT_EQ(Utf8ToWide("ab\xE2\x82", 4, out, 21), 2u);
}

TEST(Utf8, FromWideNeverSplitsACharacter) {
  char out[21];
  EXPECT_EQ(WideToUtf8(L"\U0001F600", out, 21), 4u);
  EXPECT_STREQ(out, "\xF0\x9F\x98\x80");
  // 19 ASCII + a 2-byte character would need 21 bytes before the NUL: dropped.
  std::wstring w(19, L'a');
  w += L'\u00FC';
  EXPECT_EQ(WideToUtf8(w.c_str(), out, 21), 19u);
  w = std::wstring(18, L'a') + L'\u00FC';
  EXPECT_EQ(WideToUtf8(w.c_str(), out, 21), 20u);
  EXPECT_EQ(std::string(out), std::string(18, 'a') + "\xC3\xBC");
}

TEST(RepairText, ValidTextIsLeftAlone) {
  for (const char* text : {"", "<a b=\"c\">plain &amp; &#x41; &#9;</a>", "\t\r\n",
                           "Gr\xC3\xB6\xC3\x9F"
                           "e \xE5\x90\x8D \xF0\x9F\x98\x80 \xEF\xBF\xBD",
                           "\x7F &#xD7FF; &#xE000; &#x10FFFF; &#65533;"}) {
    EXPECT_FALSE(RepairText(text).has_value()) << text;
  }
}

TEST(RepairText, BytesThatAreNotUtf8ReadAsWindows1252) {
  EXPECT_EQ(RepairText("caf\xE9"), "caf\xC3\xA9");              // é
  EXPECT_EQ(RepairText("\x80 \x9F"), "\xE2\x82\xAC \xC5\xB8");  // € Ÿ
  EXPECT_EQ(RepairText("\xC3"), "\xC3\x83");                    // a lead byte alone
  EXPECT_EQ(RepairText("\xC3\xA9\xE9"), "\xC3\xA9\xC3\xA9");    // valid, then not
  EXPECT_EQ(RepairText("\xC0\xAF"), "\xC3\x80\xC2\xAF");        // overlong form
  EXPECT_EQ(RepairText("\xF4\x90\x80\x80"),                     // past U+10FFFF
            "\xC3\xB4\xC2\x90\xE2\x82\xAC\xE2\x82\xAC");
}

TEST(RepairText, CharactersXmlForbidsBecomeReplacement) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(RepairText(std::string("a\x01"
                                   "b\0c\x1F",
                                   6)),
            "a" + fffd + "b" + fffd + "c" + fffd);
  EXPECT_EQ(RepairText("<x>&#x1;&#0;&#xFFFE;&#65535;&#xD800;</x>"),
            "<x>" + fffd + fffd + fffd + fffd + fffd + "</x>");
  EXPECT_EQ(RepairText("\xED\xA0\x80|\xEF\xBF\xBE"), fffd + "|" + fffd);  // surrogate, U+FFFE
}

// Plain text is skipped in words; whatever needs a look is found at every
// offset within them and repaired as it would be alone.
TEST(RepairText, FindsEverySpecialByteAtAnyOffset) {
  const std::string specials[] = {
      std::string(1, '\0'), "\x01", "\x1F", "&#1;", "&#x41;", "&", "\x80", "\xE9",
      "\xC3\xA9",           "\x7F", "~",    " "};
  for (const std::string& special : specials) {
    const auto alone = RepairText(special);
    for (size_t offset = 0; offset <= 17; ++offset) {
      const std::string before(offset, 'p'), after(23 - offset % 8, 'q');
      const auto got = RepairText(before + special + after);
      if (!alone) {
        EXPECT_FALSE(got.has_value()) << offset;
      } else {
        ASSERT_TRUE(got.has_value()) << offset;
        EXPECT_EQ(*got, before + *alone + after) << offset;
      }
    }
  }
}

TEST(RepairText, AgreesWithTheCodePageConversion) {
  for (int b = 0x80; b <= 0xFF; ++b) {
    const char byte = static_cast<char>(b);
    const std::wstring wide = AnsiToWide(std::string_view(&byte, 1), 4);
    ASSERT_EQ(wide.size(), 1u) << b;
    EXPECT_EQ(xml::Windows1252ToUnicode(static_cast<unsigned char>(b)),
              static_cast<uint32_t>(wide[0]))
        << b;
  }
}

// Known sums, fed whole and in pieces that cross the 64-byte blocks; the
// sum is given once.
TEST(Sha256, KnownSumsWholeAndInPieces) {
  Sha256 empty;
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty.FinishHex(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_FALSE(empty.FinishHex().has_value());

  const std::string_view text = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  const std::string sum = "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";
  Sha256 whole;
  whole.Update(text);
  EXPECT_EQ(whole.FinishHex(), sum);
  Sha256 pieces;
  for (size_t at = 0; at < text.size(); at += 7) pieces.Update(text.substr(at, 7));
  EXPECT_EQ(pieces.FinishHex(), sum);

  Sha256 million;
  const std::string block(1000, 'a');
  for (int i = 0; i < 1000; ++i) million.Update(block);
  EXPECT_EQ(million.FinishHex(),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
}  // namespace ferro
