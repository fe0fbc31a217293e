#pragma once
// The one reader of HTTP requests: it is fed the bytes of a connection as
// they arrive, frames the request (header, then a body by Content-Length or
// chunked coding) and at the same time builds the request as the SOAP
// runtime gets it: the body joined, the framing headers replaced by one
// Content-Length. Work is linear in the bytes received, and every part of a
// request is bounded.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ferro::http {

// Upper bounds for one request; anything larger is refused.
inline constexpr size_t kMaxHeaderBytes = 64 * 1024;
// Every byte after the header counts, chunk framing included.
inline constexpr size_t kMaxBodyBytes = 32 * 1024 * 1024;
// A chunk size line, extensions included.
inline constexpr size_t kMaxChunkLineBytes = 1024;

// One complete request.
struct Request {
  std::string request_line;  // without its line end
  std::string method;        // the first word of the request line
  std::string version;       // the last word ("HTTP/1.1"), or empty
  std::string header;        // request line and header lines but the framing ones, CR LF ended
  std::string body;          // the body, chunks joined
  bool has_body = false;     // the header announced a body (chunks or a length above 0)
  bool chunked = false;      // ... in chunks
  bool has_length = false;   // ... with a Content-Length
  uint64_t length = 0;       // ... of that many bytes
  bool has_origin = false;
  std::string origin;

  // The request as the runtime reads it: `header`, a Content-Length for
  // `body`, the blank line and `body`.
  std::string Framed() const;
  // The header of that text for a body of `body_size` bytes.
  std::string FramedHeader(size_t body_size) const;
};

class RequestParser {
 public:
  enum class Status {
    kNeedMore,   // the request is not complete yet
    kComplete,   // request() holds it; later bytes are ignored
    kTooLarge,   // header or body passes the bounds above (413)
    kMalformed,  // the framing cannot be read (400)
  };

  // Takes the next bytes of the connection.
  Status Feed(std::string_view bytes);
  // The peer will send nothing more: a request that is not complete now
  // never will be, and is refused rather than served half-received.
  Status Finish();

  Status status() const { return status_; }
  // True once, when the header asked for "100 Continue" before a body it
  // has not sent yet: the caller sends the interim answer and calls this
  // again only to learn that it was done.
  bool TakeContinue();
  // True once the header is read (request() then holds all but the body).
  bool header_done() const { return phase_ != Phase::kHeader; }
  // Ends the request at its header: the body, if any, will not be read.
  void EndAtHeader();
  // Makes room in request().body for the whole body its Content-Length
  // announced (kept bodies only: one that goes elsewhere needs none).
  void ReserveBody();
  // Bytes received so far (all of them, framing included).
  size_t received() const { return received_; }
  // True when some bytes have arrived.
  bool started() const { return received_ > 0; }
  const Request& request() const { return request_; }
  Request& request() { return request_; }

 private:
  enum class Phase { kHeader, kBody, kChunkSize, kChunkData, kChunkEnd, kTrailer, kDone };

  Status ParseHeader();
  Status FeedBody(std::string_view& in);
  Status Fail(Status s) { return status_ = s; }
  // Moves bytes of `in` up to and including the next LF into line_; true
  // when the line is whole.
  bool TakeLine(std::string_view& in);

  Status status_ = Status::kNeedMore;
  Phase phase_ = Phase::kHeader;
  std::string head_;         // raw header bytes until the blank line
  size_t head_scanned_ = 0;  // where the search for the blank line goes on
  std::string line_;         // a chunk size or trailer line being collected
  uint64_t remaining_ = 0;   // body or chunk bytes still to come
  size_t received_ = 0;
  size_t body_received_ = 0;  // bytes after the header
  bool continue_wanted_ = false;
  Request request_;
};

// The first line of `data` without its line end.
std::string_view RequestLine(std::string_view data);

}  // namespace ferro::http
