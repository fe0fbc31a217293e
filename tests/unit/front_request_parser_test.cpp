// The request reader: framing fed in pieces of every size, the request as the
// runtime gets it, and the bounds.

#include <gtest/gtest.h>

#include <string>

#include "front/request_parser.h"
#include "front/runtime_input.h"
#include "front/xml_text.h"

namespace {

using ferro::http::RequestParser;
using Status = RequestParser::Status;

// Feeds `data` in pieces of `step` bytes; returns the last status.
Status FeedInPieces(RequestParser& p, const std::string& data, size_t step) {
  Status s = Status::kNeedMore;
  for (size_t i = 0; i < data.size() && s == Status::kNeedMore; i += step) {
    s = p.Feed(std::string_view(data).substr(i, step));
  }
  return s;
}

TEST(RequestParser, ContentLengthInEveryPieceSize) {
  const std::string req = "POST / HTTP/1.1\r\nHost: h\r\ncontent-length: 5\r\n\r\nhello";
  for (size_t step = 1; step <= req.size(); ++step) {
    RequestParser p;
    ASSERT_EQ(FeedInPieces(p, req + "extra", step), Status::kComplete) << step;
    EXPECT_EQ(p.request().body, "hello");
    EXPECT_EQ(p.request().request_line, "POST / HTTP/1.1");
    EXPECT_EQ(p.request().Framed(), "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nhello");
  }
  // Cut anywhere before the end, the request is incomplete, and a peer that
  // stops there gets a refusal, never a half-received request served.
  for (size_t cut = 1; cut < req.size(); ++cut) {
    RequestParser p;
    EXPECT_EQ(p.Feed(req.substr(0, cut)), Status::kNeedMore) << cut;
    EXPECT_EQ(p.Finish(), Status::kMalformed) << cut;
  }
}

TEST(RequestParser, HeaderOnlyAndBareLineEnds) {
  RequestParser p;
  ASSERT_EQ(p.Feed("GET /index.html HTTP/1.0\nHost: x\n\nignored"), Status::kComplete);
  EXPECT_EQ(p.request().method, "GET");
  EXPECT_EQ(p.request().version, "HTTP/1.0");
  EXPECT_EQ(p.request().header, "GET /index.html HTTP/1.0\r\nHost: x\r\n");
  EXPECT_EQ(p.request().body, "");
}

TEST(RequestParser, ChunkedInEveryPieceSize) {
  const std::string req =
      "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
      "3\r\nabc\r\nA;ext=1\r\n0123456789\r\n0\r\nTrailer: x\r\n\r\n";
  for (size_t step = 1; step <= req.size(); ++step) {
    RequestParser p;
    ASSERT_EQ(FeedInPieces(p, req + "next", step), Status::kComplete) << step;
    EXPECT_EQ(p.request().Framed(),
              "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 13\r\n\r\nabc0123456789");
  }
  for (size_t cut = 1; cut < req.size(); ++cut) {
    RequestParser p;
    EXPECT_EQ(p.Feed(req.substr(0, cut)), Status::kNeedMore) << cut;
  }
}

TEST(RequestParser, TransferEncodingRules) {
  // "identity" is no coding: the Content-Length frames the body.
  RequestParser identity;
  ASSERT_EQ(identity.Feed("POST / HTTP/1.1\r\nTransfer-Encoding: identity\r\n"
                          "Content-Length: 3\r\n\r\nabc"),
            Status::kComplete);
  EXPECT_EQ(identity.request().body, "abc");
  // Chunked wins over a Content-Length.
  RequestParser both;
  ASSERT_EQ(both.Feed("POST / HTTP/1.1\r\nContent-Length: 99\r\nTransfer-Encoding: Chunked\r\n\r\n"
                      "1\r\nz\r\n0\r\n\r\n"),
            Status::kComplete);
  EXPECT_EQ(both.request().body, "z");
  // Codings this reader cannot undo leave the length unknown.
  for (const char* te : {"gzip", "gzip, chunked", "chunked, chunked"}) {
    RequestParser p;
    EXPECT_EQ(p.Feed(std::string("POST / HTTP/1.1\r\nTransfer-Encoding: ") + te + "\r\n\r\n"),
              Status::kMalformed)
        << te;
  }
}

TEST(RequestParser, RefusesWhatItCannotTrust) {
  const auto status = [](const std::string& data) {
    RequestParser p;
    return p.Feed(data);
  };
  EXPECT_EQ(status("POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n"), Status::kMalformed);
  EXPECT_EQ(status("POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n"),
            Status::kMalformed);
  EXPECT_EQ(status("POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n"),
            Status::kMalformed);
  EXPECT_EQ(status("POST / HTTP/1.1\r\nContent-Length: 40000000\r\n\r\n"), Status::kTooLarge);
  EXPECT_EQ(status(std::string(70000, 'a')), Status::kTooLarge);
  const std::string chunked = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  EXPECT_EQ(status(chunked + "FFFFFFF\r\n"), Status::kTooLarge);
  EXPECT_EQ(status(chunked + "zz\r\n"), Status::kMalformed);
  EXPECT_EQ(status(chunked + "2\r\nabc\r\n"), Status::kMalformed);  // data longer than its size
  EXPECT_EQ(status(chunked + std::string(2000, '1')), Status::kMalformed);
}

TEST(RequestParser, ChunkFramingCountsAgainstTheBound) {
  // One-byte chunks: 6 bytes on the wire for each byte of data.
  RequestParser p;
  ASSERT_EQ(p.Feed("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"), Status::kNeedMore);
  std::string chunks;
  for (int i = 0; i < 100000; ++i) chunks += "1\r\nx\r\n";
  Status s = Status::kNeedMore;
  size_t sent = 0;
  while (s == Status::kNeedMore && sent <= ferro::http::kMaxBodyBytes + chunks.size()) {
    s = p.Feed(chunks);
    sent += chunks.size();
  }
  EXPECT_EQ(s, Status::kTooLarge);
  EXPECT_LE(sent, ferro::http::kMaxBodyBytes + chunks.size());
  EXPECT_LT(p.request().body.size(), ferro::http::kMaxBodyBytes / 5);
}

TEST(RequestParser, ContinueOnlyWhenABodyIsAwaited) {
  RequestParser p;
  ASSERT_EQ(p.Feed("POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\n"),
            Status::kNeedMore);
  EXPECT_TRUE(p.TakeContinue());
  EXPECT_FALSE(p.TakeContinue());  // once
  ASSERT_EQ(p.Feed("ok"), Status::kComplete);
  EXPECT_EQ(p.request().header.find("Expect"), std::string::npos);  // the runtime never sees it

  RequestParser with_body;  // the body came along: nothing to wait for
  ASSERT_EQ(
      with_body.Feed("POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\nok"),
      Status::kComplete);
  EXPECT_FALSE(with_body.TakeContinue());

  RequestParser http10;
  ASSERT_EQ(http10.Feed("POST / HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\n"),
            Status::kNeedMore);
  EXPECT_FALSE(http10.TakeContinue());
}

TEST(RequestParser, KeepsOrigin) {
  RequestParser p;
  ASSERT_EQ(p.Feed("POST / HTTP/1.1\r\norigin:  http://evil.example \r\n\r\n"), Status::kComplete);
  EXPECT_TRUE(p.request().has_origin);
  EXPECT_EQ(p.request().origin, "http://evil.example");
}

TEST(DecodeAstralReferences, RewritesOnlyTextReferences) {
  using ferro::xml::DecodeAstralReferences;
  EXPECT_EQ(DecodeAstralReferences("<a>&#x1F600;&#65536;</a>"),
            "<a>\xF0\x9F\x98\x80\xF0\x90\x80\x80</a>");
  EXPECT_EQ(DecodeAstralReferences("&#x110000;&#;&#x;&#12&amp;&#x1F600&#xFFFF;"),
            "&#x110000;&#;&#x;&#12&amp;&#x1F600&#xFFFF;");
  EXPECT_EQ(DecodeAstralReferences("<!-- &#x1F600; -->&#65536;"),
            "<!-- &#x1F600; -->\xF0\x90\x80\x80");
  EXPECT_EQ(DecodeAstralReferences("<![CDATA[ unterminated &#x1F600;"),
            "<![CDATA[ unterminated &#x1F600;");
  // Literal sections right after one another stay literal.
  EXPECT_EQ(DecodeAstralReferences("<![CDATA[a]]><![CDATA[&#x1F600;]]><!--x--><!--&#x1F600;-->"),
            "<![CDATA[a]]><![CDATA[&#x1F600;]]><!--x--><!--&#x1F600;-->");
  EXPECT_EQ(DecodeAstralReferences("<!--x--><![CDATA[&#x1F600;]]>&#x1F600;"),
            "<!--x--><![CDATA[&#x1F600;]]>\xF0\x9F\x98\x80");
}

// The header as the runtime reads it: a transfer coding or attachments under
// any spelling it knows, and lines it would cut or join, are refused.
TEST(RuntimeInputRefusal, HeadersTheRuntimeReadsItsOwnWay) {
  auto refusal = [](const std::string& head_lines, std::string request_line = "POST / HTTP/1.1") {
    RequestParser p;
    const std::string data = request_line + "\r\n" + head_lines + "Content-Length: 4\r\n\r\n<a/>";
    EXPECT_EQ(p.Feed(data), Status::kComplete) << data;
    return ferro::RuntimeInputRefusal(p.request(), p.request().body);
  };
  EXPECT_EQ(refusal("Host: h\r\nContent-Type: application/soap+xml; charset=utf-8; "
                    "action=\"urn:x\"\r\nOrigin: http://127.0.0.1:64567\r\nSOAPAction: \"\"\r\n"),
            std::nullopt);
  EXPECT_EQ(refusal("", "POST /tools/x?y=1 HTTP/1.0"), std::nullopt);
  const std::string disguised[] = {"Transfer_Encoding: chunked\r\n",
                                   "transfer-encodinG\"x: chunked\r\n",
                                   "Content-Type: multipart/related; boundary=b\r\n",
                                   "content_type: text/xml; Multipart\r\n",
                                   "Content-Type: application/DIME\r\n",
                                   "Content-Type: text/xml; %6Dultipart/related\r\n",
                                   "X: 1\rTransfer-Encoding: chunked\r\n",
                                   std::string("X: 1\0\r\n", 7),
                                   "X: " + std::string(ferro::kMaxRuntimeHeaderLine, 'x') + "\r\n"};
  for (const std::string& lines : disguised) EXPECT_NE(refusal(lines), std::nullopt) << lines;
  // A number in place of the path is a status line to the runtime.
  const std::string request_lines[] = {"POST 100 HTTP/1.1", "POST  65636 HTTP/1.1",
                                       "PUT -1 HTTP/1.1",
                                       "POST /" + std::string(ferro::kMaxRuntimeRequestLine, 'x')};
  for (const std::string& line : request_lines) {
    EXPECT_NE(refusal("", line), std::nullopt) << line;
  }
}

}  // namespace
