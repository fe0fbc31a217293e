#include "static_files.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "exchange/request_exchange.h"
#include "platform/diag.h"
#include "platform/program_dir.h"
#include "soapH.h"

namespace ferro {
namespace {

constexpr std::string_view kPageSuffix = "/tools/js_client/index.html";

struct MapRow {
  std::string_view key;
  std::string_view suffix;
  const char* content_type;  // of the file's text
};

// The description is XML for the SOAP toolkits that fetch it, which check
// the type; the script is a script, so that a browser that insists on types
// runs it.
constexpr MapRow kFileMap[] = {
    {"jquery.js", "/tools/js_client/jquery.js", "text/javascript; charset=utf-8"},
    {"index.html", kPageSuffix, kHtmlContentType},
    {"Device.cgi", "/auto/Device.wsdl", "text/xml; charset=utf-8"},
    {"Device.wsdl", "/auto/Device.wsdl", "text/xml; charset=utf-8"},
};

static_assert(kFileMap[1].key == "index.html", "the bare address maps to the page's row");

const MapRow* MapRowOf(std::string_view request_line) {
  for (const MapRow& row : kFileMap) {
    if (request_line.find(row.key) != std::string_view::npos) return &row;
  }
  // The bare address is where a browser goes first: it gets the page.
  if (RequestPath(request_line) == "/") return &kFileMap[1];
  return nullptr;
}

// Room for the runtime's header before a file's text.
constexpr size_t kAnswerHeaderRoom = 512;

}  // namespace

std::optional<std::string_view> MapRequestLine(std::string_view request_line) {
  const MapRow* row = MapRowOf(request_line);
  if (row == nullptr) return std::nullopt;
  return row->suffix;
}

std::string_view RequestPath(std::string_view request_line) {
  const size_t start = request_line.find(' ');
  if (start == std::string_view::npos) return {};
  std::string_view target = request_line.substr(start + 1);
  target = target.substr(0, target.find(' '));
  return target.substr(0, target.find_first_of("?#"));
}

std::optional<std::string> ReadStaticFile(const std::string& path) {
  // Read-only: installed files are often not writable, and serving needs no more.
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) return std::nullopt;
  // A folder opens, but is no file to serve.
  struct stat st {};
  if (::fstat(::fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  // Every CR LF gives one byte, so twice the limit is the most raw input
  // that can fill the body; the file is read in one go up to that.
  // The size is a first guess only (a file may grow while it is read), so
  // the buffer grows until the end of the file or the raw limit.
  std::string raw;
  size_t want = std::min(static_cast<size_t>(std::max<off_t>(st.st_size, 0)) + 1, kStaticRawLimit);
  size_t got = 0;
  for (;;) {
    raw.resize(want);
    while (got < want) {
      const size_t n = std::fread(raw.data() + got, 1, want - got, file.get());
      if (n == 0) break;  // end of file or a read error: serve what was read
      got += n;
    }
    if (got < want || want == kStaticRawLimit) break;
    want = std::min(2 * want, kStaticRawLimit);
  }
  raw.resize(got);
  TextFromRawInPlace(raw);
  return raw;
}

std::string TextFromRaw(std::string_view raw) {
  std::string text(raw);
  TextFromRawInPlace(text);
  return text;
}

void TextFromRawInPlace(std::string& text) {
  // The text ends at the first zero byte.
  std::string_view raw(text);
  if (const size_t nul = raw.find('\0'); nul != std::string_view::npos) raw = raw.substr(0, nul);
  // The text never outgrows the raw bytes, so it is written over them:
  // `out` never passes `pos`.
  size_t out = 0;
  size_t pos = 0;
  while (pos < raw.size() && out < kStaticFileLimit) {
    const size_t crlf = raw.find("\r\n", pos);
    const size_t run = (crlf == std::string_view::npos ? raw.size() : crlf) - pos;
    const size_t take = std::min(run, kStaticFileLimit - out);
    if (out != pos) std::memmove(text.data() + out, text.data() + pos, take);
    out += take;
    if (take < run || crlf == std::string_view::npos) break;
    // CR LF reads as LF, as text mode does; a CR that is the text's last
    // byte stays a CR, since its LF lies beyond the limit.
    text[out] = out + 1 < kStaticFileLimit ? '\n' : '\r';
    ++out;
    pos = crlf + 2;
  }
  text.resize(out);
}

std::string StaticResponseBody(std::string_view request_line, const std::string& program_dir,
                               bool log, const char** content_type) {
  if (content_type != nullptr) *content_type = kHtmlContentType;
  if (log) {
    std::printf("get file msgbuf %.*s.\n", static_cast<int>(request_line.size()),
                request_line.data());
  }
  const MapRow* row = MapRowOf(request_line);
  if (row == nullptr) {
    std::fflush(stdout);
    return kNotPostBody;
  }
  const std::string path = program_dir + std::string(row->suffix);
  if (log) std::printf("file_name = %s\n", path.c_str());
  auto body = ReadStaticFile(path);
  if (!body) {
    if (log) std::printf("ERR: file %s, not exist. \n", path.c_str());
    std::fflush(stdout);
    return kFileMissingBody;
  }
  if (log) std::printf("get static file %s OK.", path.c_str());
  std::fflush(stdout);
  if (content_type != nullptr) *content_type = row->content_type;
  return std::move(*body);
}

int StaticFileHandler(struct soap* soap) {
  static const std::string program_dir = ProgramDirectory();
  // Any host may GET at will: the lines of other hosts' requests are
  // limited, a request's lines printed or left out together.
  static DiagLimit remote_gets("static file requests from other hosts");
  const bool log = CurrentPeerIsLocal(soap) || remote_gets.Pass();
  const char* content_type = kHtmlContentType;
  const std::string body =
      StaticResponseBody(CurrentRequestLine(soap), program_dir, log, &content_type);
  ReserveAnswer(soap, body.size() + kAnswerHeaderRoom);
  // HTML goes out as the runtime's HTML answer; any other type as its file
  // answer, which takes the type from the context (for this answer only).
  // An empty body has no type to speak of and keeps the HTML answer's
  // status, "202 ACCEPTED".
  const bool html = body.empty() || std::strcmp(content_type, kHtmlContentType) == 0;
  soap->http_content = html ? nullptr : content_type;
  if (soap_response(soap, html ? SOAP_HTML : SOAP_FILE) == SOAP_OK &&
      soap_send_raw(soap, body.data(), body.size()) == SOAP_OK) {
    soap_end_send(soap);
  }
  soap->http_content = nullptr;
  return SOAP_OK;
}

}  // namespace ferro
