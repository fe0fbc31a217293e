#include "http_answer.h"

namespace ferro {

const char* HttpStatusText(int status) {
  switch (status) {
    case 200:
      return "200 OK";
    case 201:
      return "201 Created";
    case 400:
      return "400 Bad Request";
    case 403:
      return "403 Forbidden";
    case 404:
      return "404 Not Found";
    case 405:
      return "405 Method Not Allowed";
    case 408:
      return "408 Request Timeout";
    case 409:
      return "409 Conflict";
    case 411:
      return "411 Length Required";
    case 413:
      return "413 Request Entity Too Large";
    case 503:
      return "503 Service Unavailable";
    case 507:
      return "507 Insufficient Storage";
    default:
      return "500 Internal Server Error";
  }
}

std::string ClosingAnswer(int status, std::string_view contentType, std::string_view body,
                          std::string_view extra) {
  std::string out = "HTTP/1.1 ";
  out += HttpStatusText(status);
  out += "\r\nContent-Type: ";
  out += contentType;
  out += "\r\nCache-Control: no-store\r\nContent-Length: ";
  out += std::to_string(body.size());
  out += "\r\nConnection: close\r\n";
  out += extra;
  out += "\r\n";
  out += body;
  return out;
}

}  // namespace ferro
