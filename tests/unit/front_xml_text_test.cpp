// Answers are made well-formed on their way out; valid text passes untouched.

#include <gtest/gtest.h>

#include <string>

#include "front/xml_text.h"
#include "platform/codepage.h"

namespace {

using ferro::xml::RepairAnswer;
using ferro::xml::RepairText;

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
    const std::wstring wide = ferro::AnsiToWide(std::string_view(&byte, 1), 4);
    ASSERT_EQ(wide.size(), 1u) << b;
    EXPECT_EQ(ferro::xml::Windows1252ToUnicode(static_cast<unsigned char>(b)),
              static_cast<uint32_t>(wide[0]))
        << b;
  }
}

TEST(RepairAnswer, CorrectsContentLength) {
  std::string answer =
      "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 9\r\n\r\n<a>\xE9\x01</a>";
  RepairAnswer(answer);
  EXPECT_EQ(answer,
            "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 12\r\n\r\n"
            "<a>\xC3\xA9\xEF\xBF\xBD</a>");
  std::string fine = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n<a/>";
  const std::string before = fine;
  RepairAnswer(fine);
  EXPECT_EQ(fine, before);
}

}  // namespace
