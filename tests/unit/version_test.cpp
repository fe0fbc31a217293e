#include <gtest/gtest.h>

#include <string>

#include "platform/version.h"

TEST(Version, IsDottedTriple) {
  std::string v = ferro::VersionText();
  EXPECT_EQ(std::count(v.begin(), v.end(), '.'), 2);
}
