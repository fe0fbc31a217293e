// The reason that failure faults carry in their detail element, as the
// operations and the front write it.

#include <gtest/gtest.h>

#include <string>

#include "exchange/fault_text.h"

namespace ferro {
namespace {

TEST(FaultReason, PlainTextPassesAndXmlSpecialsAreEscaped) {
  EXPECT_EQ(FaultReasonXml("address 10.0.0.5 is already watched"),
            "address 10.0.0.5 is already watched");
  EXPECT_EQ(FaultReasonXml("a<b>&c\"'"), "a&lt;b&gt;&amp;c\"'");
  EXPECT_EQ(FaultReasonXml(""), "");
}

TEST(FaultReason, StaysOneLineOfValidUtf8) {
  EXPECT_EQ(FaultReasonXml("two\nlines\r\tand\x7f"), "two?lines??and?");
  EXPECT_EQ(FaultReasonXml("Gr\xc3\xb6\xc3\x9f"
                           "e \xe6\x97\xa5 \xf0\x9f\x98\x80"),
            "Gr\xc3\xb6\xc3\x9f"
            "e \xe6\x97\xa5 \xf0\x9f\x98\x80");
  // A stray continuation byte, a cut sequence, an overlong form, a surrogate
  // and a code point past U+10FFFF each become '?' byte by byte.
  EXPECT_EQ(FaultReasonXml("a\x80z"), "a?z");
  EXPECT_EQ(FaultReasonXml("a\xe6\x97"), "a??");
  EXPECT_EQ(FaultReasonXml("\xc0\xaf"), "??");
  EXPECT_EQ(FaultReasonXml("\xed\xa0\x80"), "???");
  EXPECT_EQ(FaultReasonXml("\xf4\x90\x80\x80"), "????");
  EXPECT_EQ(FaultReasonXml(std::string("nul\0x", 5)), "nul?x");
}

TEST(FaultReason, LongReasonIsCutAtACharacterBoundary) {
  const std::string exact(kFaultReasonMax, 'x');
  EXPECT_EQ(FaultReasonXml(exact), exact);
  EXPECT_EQ(FaultReasonXml(exact + "y"), exact + "...");
  // A three-byte character that would straddle the limit is left out whole.
  const std::string text = std::string(kFaultReasonMax - 1, 'x') + "\xe6\x97\xa5";
  EXPECT_EQ(FaultReasonXml(text), std::string(kFaultReasonMax - 1, 'x') + "...");
  // The limit counts the reason's bytes, not the escaped ones.
  const std::string amps(kFaultReasonMax, '&');
  std::string escaped;
  for (size_t i = 0; i < kFaultReasonMax; ++i) escaped += "&amp;";
  EXPECT_EQ(FaultReasonXml(amps), escaped);
}

TEST(FaultReason, DetailIsOneReasonElementOrNothing) {
  EXPECT_EQ(FaultDetailXml("a<b"), "<ns:reason>a&lt;b</ns:reason>");
  EXPECT_EQ(FaultDetailXml(""), "");
}

}  // namespace
}  // namespace ferro
