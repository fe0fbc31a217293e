// Which file a GET request line maps to, and how a served file is read.

#include <gtest/gtest.h>
#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

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
  EXPECT_FALSE(MapRequestLine("GET /INDEX.HTML HTTP/1.1"));
  // The bare address gives the page, with or without a query; no other
  // unmapped path does.
  EXPECT_EQ(MapRequestLine("GET / HTTP/1.1"), "/tools/js_client/index.html");
  EXPECT_EQ(MapRequestLine("GET /?tab=upgrade HTTP/1.0"), "/tools/js_client/index.html");
  EXPECT_FALSE(MapRequestLine("GET //etc/passwd HTTP/1.1"));
  EXPECT_FALSE(MapRequestLine("GET /x/ HTTP/1.1"));
  EXPECT_FALSE(MapRequestLine("GET"));
}

int ProcessId() {
#ifdef _WIN32
  return ::_getpid();
#else
  return ::getpid();
#endif
}

class ReadStaticFileTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& content) {
    std::ofstream(path_, std::ios::binary) << content;
    return path_;
  }
  void TearDown() override { std::filesystem::remove(path_); }
  std::string path_ =
      (std::filesystem::temp_directory_path() / ("ferro-static-" + std::to_string(ProcessId())))
          .string();
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

TEST_F(ReadStaticFileTest, LimitAndZeroByteBoundaries) {
  const size_t limit = ferro::kStaticFileLimit;
  EXPECT_EQ(ReadStaticFile(Write(std::string(limit, 'q')))->size(), limit);
  EXPECT_EQ(ReadStaticFile(Write(std::string(limit + 1, 'q')))->size(), limit);
  EXPECT_EQ(ReadStaticFile(Write(std::string("\0abc", 4))), "");
  // A zero byte beyond the limit changes nothing; one just inside ends the text.
  std::string late(limit + 10, 'z');
  late[limit] = '\0';
  EXPECT_EQ(ReadStaticFile(Write(late))->size(), limit);
  late[limit - 1] = '\0';
  EXPECT_EQ(ReadStaticFile(Write(late))->size(), limit - 1);
  // CR LF whose CR is the last byte the limit lets in: the LF is never read,
  // so the CR stays; one byte earlier the pair still becomes LF.
  std::string edge(limit - 1, 'e');
  edge += "\r\nafter";
  const auto cut = ReadStaticFile(Write(edge));
  ASSERT_EQ(cut->size(), limit);
  EXPECT_EQ(cut->back(), '\r');
  edge.erase(0, 1);
  const auto whole = ReadStaticFile(Write(edge));
  ASSERT_EQ(whole->size(), limit);
  EXPECT_EQ(whole->substr(limit - 3), "e\na");
  // More raw input than the limit can take, all CR LF: LFs, and the last
  // CR stays for the same reason.
  std::string pairs;
  for (size_t i = 0; i < limit + 5; ++i) pairs += "\r\n";
  const auto lf = ReadStaticFile(Write(pairs));
  ASSERT_EQ(lf->size(), limit);
  EXPECT_EQ(lf->find_first_not_of('\n'), limit - 1);
  EXPECT_EQ(lf->back(), '\r');
}

// The single-pass conversion against a byte-at-a-time model of the same
// rules, over inputs dense in CR, LF and zero bytes.
TEST(TextFromRaw, MatchesByteAtATimeRules) {
  const auto model = [](std::string_view raw) {
    std::string body;
    int prev = -1;
    for (size_t i = 0; i < raw.size() && body.size() < ferro::kStaticFileLimit; ++i) {
      const char c = raw[i];
      if (c == '\n' && prev == '\r') {
        body.back() = '\n';
      } else if (c == '\0') {
        break;
      } else {
        body.push_back(c);
      }
      prev = static_cast<unsigned char>(c);
    }
    return body;
  };
  const char alphabet[] = {'\r', '\n', 'a', '\r', '\n', '\0'};
  uint32_t seed = 12345;
  for (int round = 0; round < 2000; ++round) {
    std::string raw(round % 40, 'x');
    for (char& c : raw) {
      seed = seed * 1103515245u + 12345u;
      c = alphabet[(seed >> 16) % (round % 7 == 0 ? 6 : 5)];
    }
    ASSERT_EQ(ferro::TextFromRaw(raw), model(raw)) << "round " << round;
  }
}

TEST_F(ReadStaticFileTest, ReadOnlyServedMissingNot) {
  Write("ro");
  namespace fs = std::filesystem;
  fs::permissions(path_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  EXPECT_EQ(ReadStaticFile(path_), "ro");
  EXPECT_FALSE(ReadStaticFile(path_ + ".absent"));
  // Writable again: Windows removes no read-only file.
  fs::permissions(path_, fs::perms::owner_write, fs::perm_options::add);
}

TEST(StaticResponseBody, ChoosesTheFixedPages) {
  EXPECT_EQ(ferro::StaticResponseBody("GET /nothing HTTP/1.1", "/nonexistent"),
            ferro::kNotPostBody);
  EXPECT_EQ(ferro::StaticResponseBody("GET /index.html HTTP/1.1", "/nonexistent"),
            ferro::kFileMissingBody);
}

}  // namespace
