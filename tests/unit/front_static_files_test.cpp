// Which file a GET request line maps to, and how a served file is read.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "front/static_files.h"

namespace {

using ferro::MapRequestLine;
using ferro::ReadStaticFile;

TEST(MapRequestLine, FirstKeyInTableOrderWins) {
  EXPECT_EQ(MapRequestLine("GET /jquery.js?index.html HTTP/1.1"), "/tools/js_client/jquery.js");
  EXPECT_EQ(MapRequestLine("GET /index.html?Device.cgi HTTP/1.1"), "/tools/js_client/index.html");
  EXPECT_EQ(MapRequestLine("GET /Device.cgi HTTP/1.1"), "/auto/Device.wsdl");
  EXPECT_EQ(MapRequestLine("GET /a/b/Device.wsdl HTTP/1.1"), "/auto/Device.wsdl");
  EXPECT_FALSE(MapRequestLine("GET / HTTP/1.1"));
  EXPECT_FALSE(MapRequestLine("GET /INDEX.HTML HTTP/1.1"));
}

class ReadStaticFileTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& content) {
    std::ofstream(path_, std::ios::binary) << content;
    return path_;
  }
  void TearDown() override { std::filesystem::remove(path_); }
  std::string path_ =
      std::filesystem::temp_directory_path() / ("ferro-static-" + std::to_string(::getpid()));
};

TEST_F(ReadStaticFileTest, TextModeRules) {
  EXPECT_EQ(ReadStaticFile(Write("a\r\nb\rc\r\r\n")), "a\nb\rc\r\n");
  EXPECT_EQ(ReadStaticFile(Write(std::string("0123456789\0rest", 15))), "0123456789");
  EXPECT_EQ(ReadStaticFile(Write("")), "");
  EXPECT_EQ(ReadStaticFile(Write(std::string(600000, 'q')))->size(), ferro::kStaticFileLimit);
  // The limit counts what the reader produced, after CR LF became LF.
  std::string crlf;
  for (int i = 0; i < 300000; ++i) crlf += "\r\n";
  EXPECT_EQ(ReadStaticFile(Write(crlf))->size(), 300000u);
}

TEST_F(ReadStaticFileTest, ReadOnlyServedMissingNot) {
  Write("ro");
  ASSERT_EQ(::chmod(path_.c_str(), 0444), 0);
  EXPECT_EQ(ReadStaticFile(path_), "ro");
  EXPECT_FALSE(ReadStaticFile(path_ + ".absent"));
}

TEST(StaticResponseBody, ChoosesTheFixedPages) {
  EXPECT_EQ(ferro::StaticResponseBody("GET / HTTP/1.1", "/nonexistent"), ferro::kNotPostBody);
  EXPECT_EQ(ferro::StaticResponseBody("GET /index.html HTTP/1.1", "/nonexistent"),
            ferro::kFileMissingBody);
}

}  // namespace
