#pragma once
// Answers to HTTP GET: a few files that lie beside the executable (the
// browser client page, its script library and the service description).
// Only the names of a fixed map are served; there is no general file server.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

struct soap;

namespace ferro {

inline constexpr size_t kStaticFileLimit = 512000;
// The most raw input that can give kStaticFileLimit bytes of text (all CR LF).
inline constexpr size_t kStaticRawLimit = 2 * kStaticFileLimit;
inline constexpr const char* kFileMissingBody = " <HTML> the file not exist. </HTML> ";
inline constexpr const char* kNotPostBody = " <HTML> SOAP method should be post. </HTML> ";
// The type of the pages above and of the served HTML file.
inline constexpr const char* kHtmlContentType = "text/html; charset=utf-8";

// The suffix (below the program folder) of the file that a request line asks
// for: the first map key that occurs anywhere in the line wins
// (case-sensitive); without one, the root path ("/", any query aside) is the
// page; anything else is nothing.
std::optional<std::string_view> MapRequestLine(std::string_view request_line);

// The path of a request line's target: the second word, up to any query or
// fragment ("GET /a?b HTTP/1.1" gives "/a"); empty when the line has no target.
std::string_view RequestPath(std::string_view request_line);

// Reads a served file as text: CR LF pairs become LF, and the result ends at
// the file's first zero byte or after kStaticFileLimit bytes, whichever comes
// first. Returns nothing when the file cannot be opened for reading or is
// not a regular file (a folder at a mapped path, for example).
std::optional<std::string> ReadStaticFile(const std::string& path);

// The text rules of ReadStaticFile applied to raw file bytes: as a copy, or
// over the bytes themselves.
std::string TextFromRaw(std::string_view raw);
void TextFromRawInPlace(std::string& text);

// The body for one GET request line, with the program folder `program_dir`.
// Writes the log lines that go with it, unless `log` is unset. Sets
// `*content_type`, when given, to the body's type: the mapped file's, or
// HTML for the fixed pages.
std::string StaticResponseBody(std::string_view request_line, const std::string& program_dir,
                               bool log = true, const char** content_type = nullptr);

// The runtime's GET callback: answers with the mapped file and returns SOAP_OK.
int StaticFileHandler(struct soap* soap);

}  // namespace ferro
