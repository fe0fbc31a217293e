// The service's own fault reasons, and the texts of its status summary.

#include <gtest/gtest.h>

#include <string>

#include "service/fault.h"
#include "service/status_report.h"

namespace ferro {
namespace {

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

TEST(FaultReason, TooFewWatchedNamesBothCounts) {
  EXPECT_EQ(TooFewWatchedReason(3, 2), "monitorNum 3 asks for more agents than are watched (2)");
}

}  // namespace
}  // namespace ferro
