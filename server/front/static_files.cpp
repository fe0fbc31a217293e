#include "static_files.h"

#include <sys/stat.h>

#include <cstdio>
#include <memory>

#include "front_state.h"
#include "platform/program_dir.h"
#include "soapH.h"

namespace ferro {
namespace {

struct MapRow {
  std::string_view key;
  std::string_view suffix;
};

constexpr MapRow kFileMap[] = {
    {"jquery.js", "/tools/js_client/jquery.js"},
    {"index.html", "/tools/js_client/index.html"},
    {"Device.cgi", "/auto/Device.wsdl"},
    {"Device.wsdl", "/auto/Device.wsdl"},
};

}  // namespace

std::optional<std::string_view> MapRequestLine(std::string_view request_line) {
  for (const MapRow& row : kFileMap) {
    if (request_line.find(row.key) != std::string_view::npos) return row.suffix;
  }
  return std::nullopt;
}

std::optional<std::string> ReadStaticFile(const std::string& path) {
  // Read-only: installed files are often not writable, and serving needs no more.
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) return std::nullopt;
  // A folder opens, but is no file to serve.
  struct stat st {};
  if (::fstat(::fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  std::string body;
  int prev = EOF;
  for (int c; body.size() < kStaticFileLimit && (c = std::fgetc(file.get())) != EOF; prev = c) {
    if (c == '\n' && prev == '\r') {
      body.back() = '\n';  // CR LF reads as LF, as text mode does
      continue;
    }
    if (c == 0) break;
    body.push_back(static_cast<char>(c));
  }
  return body;
}

std::string StaticResponseBody(std::string_view request_line, const std::string& program_dir) {
  std::printf("get file msgbuf %.*s.\n", static_cast<int>(request_line.size()),
              request_line.data());
  const auto suffix = MapRequestLine(request_line);
  if (!suffix) return kNotPostBody;
  const std::string path = program_dir + std::string(*suffix);
  std::printf("file_name = %s\n", path.c_str());
  auto body = ReadStaticFile(path);
  if (!body) {
    std::printf("ERR: file %s, not exist. \n", path.c_str());
    std::fflush(stdout);
    return kFileMissingBody;
  }
  std::printf("get static file %s OK.", path.c_str());
  std::fflush(stdout);
  return std::move(*body);
}

int StaticFileHandler(struct soap* soap) {
  static const std::string program_dir = ProgramDirectory();
  const std::string body = StaticResponseBody(CurrentRequestLine(soap), program_dir);
  if (soap_response(soap, SOAP_HTML) == SOAP_OK && soap_send(soap, body.c_str()) == SOAP_OK) {
    soap_end_send(soap);
  }
  return SOAP_OK;
}

}  // namespace ferro
