// Framing of HTTP requests before the SOAP runtime parses them.

#include <gtest/gtest.h>

#include <string>

#include "http_request.h"

namespace {

using ferro::http::FrameStatus;
using ferro::http::NormalizeRequest;
using ferro::http::ScanRequest;

TEST(ScanRequest, ContentLength) {
  const std::string req = "POST / HTTP/1.1\r\ncontent-length: 5\r\n\r\nhello";
  for (size_t cut = 0; cut < req.size(); ++cut) {
    EXPECT_EQ(ScanRequest(req.substr(0, cut), false).status, FrameStatus::kIncomplete) << cut;
  }
  auto r = ScanRequest(req + "extra", false);
  EXPECT_EQ(r.status, FrameStatus::kComplete);
  EXPECT_EQ(r.length, req.size());
  // A peer that stops early: what arrived is the request.
  r = ScanRequest(req.substr(0, req.size() - 2), true);
  EXPECT_EQ(r.status, FrameStatus::kComplete);
  EXPECT_EQ(r.length, req.size() - 2);
}

TEST(ScanRequest, HeaderOnlyAndBareLineEnds) {
  auto r = ScanRequest("GET /index.html HTTP/1.1\nHost: x\n\nignored", false);
  EXPECT_EQ(r.status, FrameStatus::kComplete);
  EXPECT_EQ(r.length, 34u);
  EXPECT_EQ(ferro::http::RequestLine("GET / HTTP/1.0\r\nX: y\r\n\r\n"), "GET / HTTP/1.0");
}

TEST(ScanRequest, Chunked) {
  const std::string head = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string body = "3\r\nabc\r\nA;ext=1\r\n0123456789\r\n0\r\nTrailer: x\r\n\r\n";
  for (size_t cut = 0; cut < body.size(); ++cut) {
    EXPECT_EQ(ScanRequest(head + body.substr(0, cut), false).status, FrameStatus::kIncomplete)
        << cut;
  }
  const auto r = ScanRequest(head + body + "next", false);
  EXPECT_EQ(r.status, FrameStatus::kComplete);
  EXPECT_EQ(r.length, head.size() + body.size());
  EXPECT_EQ(ScanRequest(head + "zz\r\n", false).status, FrameStatus::kMalformed);
}

TEST(ScanRequest, RefusesWhatItCannotTrust) {
  EXPECT_EQ(ScanRequest("POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", false).status,
            FrameStatus::kMalformed);
  EXPECT_EQ(
      ScanRequest("POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n", false).status,
      FrameStatus::kMalformed);
  EXPECT_EQ(ScanRequest("POST / HTTP/1.1\r\nContent-Length: 40000000\r\n\r\n", false).status,
            FrameStatus::kTooLarge);
  EXPECT_EQ(ScanRequest(std::string(70000, 'a'), false).status, FrameStatus::kTooLarge);
  EXPECT_EQ(
      ScanRequest("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFF\r\n", false).status,
      FrameStatus::kTooLarge);
}

TEST(NormalizeRequest, JoinsChunksAndDecodesAstralReferences) {
  std::string req =
      "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
      "4\r\n<a>&\r\n9\r\n#x1F600;<\r\n3\r\n/a>\r\n0\r\n\r\n";
  NormalizeRequest(req);
  EXPECT_EQ(req, "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 11\r\n\r\n<a>\xF0\x9F\x98\x80</a>");

  std::string plain = "POST / HTTP/1.1\r\nContent-Length: 7\r\n\r\n<a>b</a";
  const std::string before = plain;
  NormalizeRequest(plain);
  EXPECT_EQ(plain, before);  // nothing to do: untouched

  std::string bmp = "POST / HTTP/1.1\r\nContent-Length: 16\r\n\r\n<a>&#xFFFF;</a>";
  NormalizeRequest(bmp);
  EXPECT_NE(bmp.find("&#xFFFF;"), std::string::npos);  // below U+10000 the runtime copes
}

TEST(DecodeAstralReferences, LeavesOddReferencesAlone) {
  using ferro::http::DecodeAstralReferences;
  EXPECT_EQ(DecodeAstralReferences("&#x110000;&#;&#x;&#12&amp;&#x1F600"),
            "&#x110000;&#;&#x;&#12&amp;&#x1F600");
  EXPECT_EQ(DecodeAstralReferences("<!-- &#x1F600; -->&#65536;"),
            "<!-- &#x1F600; -->\xF0\x90\x80\x80");
  EXPECT_EQ(DecodeAstralReferences("<![CDATA[ unterminated &#x1F600;"),
            "<![CDATA[ unterminated &#x1F600;");
}

}  // namespace
