#include "platform/version.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

TEST(Version, IsDottedTriple) {
  std::string v = ferro::VersionText();
  EXPECT_EQ(std::count(v.begin(), v.end(), '.'), 2);
}
