// The reason that failure faults carry in their detail element.

#include <gtest/gtest.h>

#include <string>

#include "service/fault.h"
#include "service/status_report.h"

namespace ferro {
namespace {

TEST(FaultReason, PlainTextPassesAndXmlSpecialsAreEscaped) {
  EXPECT_EQ(FaultReasonXml("address 10.0.0.5 is already watched"),
            "address 10.0.0.5 is already watched");
  EXPECT_EQ(FaultReasonXml("a<b>&c\"'"), "a&lt;b&gt;&amp;c\"'");
  EXPECT_EQ(FaultReasonXml(""), "");
}

// The status summary's texts (a file name, the reason no dialog was shown)
// must keep its JSON readable whatever they hold.
TEST(StatusJson, TextsAreJsonStringsAndTheObjectHasItsFields) {
  NoteSaveAsOutcome("no_dialog", "no \"display\" \xff\x01");
  const std::string json = StatusJson();
  for (const char* field :
       {"\"engine_running\":", "\"discovered\":", "\"watched\":", "\"upgrade_running\":",
        "\"upgrade_waiting\":", "\"device_set_timeout_ms\":50000", "\"version\":\"",
        "\"outcome\":\"no_dialog\",\"detail\":\"no \\\"display\\\" \xef\xbf\xbd\\u0001\"}"}) {
    EXPECT_NE(json.find(field), std::string::npos) << field << " in " << json;
  }
  EXPECT_EQ(json.front(), '{');
  EXPECT_EQ(json.back(), '}');
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

TEST(FaultReason, TooFewWatchedNamesBothCounts) {
  EXPECT_EQ(TooFewWatchedReason(3, 2), "monitorNum 3 asks for more agents than are watched (2)");
}

}  // namespace
}  // namespace ferro
