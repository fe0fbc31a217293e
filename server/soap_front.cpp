#include "soap_front.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "front_state.h"
#include "http_request.h"
#include "soapH.h"
#include "static_files.h"

namespace ferro {
namespace {

// One request, read whole from the connection before the runtime sees it.
struct Connection {
  std::string request;
  size_t consumed = 0;
  size_t sent = 0;         // bytes of answer written so far
  bool hold_close = true;  // keep the socket open while nothing was answered
  bool held_open = false;  // the runtime asked to close before answering
};

// The runtime reads the request from the buffer, never from the socket: at
// the end of the request it meets end of input instead of waiting for bytes
// that will never come.
size_t ReceiveFromBuffer(struct soap* soap, char* buf, size_t len) {
  auto* conn = static_cast<Connection*>(soap->user);
  if (conn == nullptr) return 0;
  const size_t n = std::min(len, conn->request.size() - conn->consumed);
  std::memcpy(buf, conn->request.data() + conn->consumed, n);
  conn->consumed += n;
  return n;
}

int (*runtime_send)(struct soap*, const char*, size_t) = nullptr;

int SendCounted(struct soap* soap, const char* data, size_t len) {
  if (auto* conn = static_cast<Connection*>(soap->user)) conn->sent += len;
  return runtime_send(soap, data, len);
}

int (*runtime_close)(struct soap*) = nullptr;

// The runtime closes the connection as soon as it gives up on a request; a
// connection that got no answer yet stays open so that one can be written.
int CloseUnlessUnanswered(struct soap* soap) {
  auto* conn = static_cast<Connection*>(soap->user);
  if (conn != nullptr && conn->sent == 0 && conn->hold_close) {
    conn->held_open = true;
    return SOAP_OK;
  }
  return runtime_close(soap);
}

int (*runtime_post_header)(struct soap*, const char*, const char*) = nullptr;

// Header writer: the runtime says "202 Accepted" for an empty answer where
// our clients expect "202 ACCEPTED", and adds a framing policy header that
// the service never sent; everything else passes unchanged.
int PostHeader(struct soap* soap, const char* key, const char* value) {
  if (key != nullptr && std::strcmp(key, "X-Frame-Options") == 0) return SOAP_OK;
  if (key != nullptr && value == nullptr && std::strncmp(key, "HTTP/", 5) == 0) {
    const char* status = std::strchr(key, ' ');
    if (status != nullptr && std::strcmp(status, " 202 Accepted") == 0) {
      const std::string line =
          std::string(key, static_cast<size_t>(status - key)) + " 202 ACCEPTED";
      return runtime_post_header(soap, line.c_str(), nullptr);
    }
  }
  return runtime_post_header(soap, key, value);
}

void SetIdleTimeouts(int fd) {
  timeval tv{};
  tv.tv_sec = kConnectionIdleSeconds;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void SendPlainStatus(int fd, const char* status) {
  const std::string text =
      std::string("HTTP/1.1 ") + status + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  (void)::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

}  // namespace

std::string_view CurrentRequestLine(const struct soap* soap) {
  const auto* conn = static_cast<const Connection*>(soap->user);
  return conn == nullptr ? std::string_view() : http::RequestLine(conn->request);
}

void InitServiceContext(struct soap* soap) {
  soap_init(soap);
  soap->mode |= SOAP_C_UTFSTRING;
  soap->imode |= SOAP_C_UTFSTRING;
  soap->omode |= SOAP_C_UTFSTRING;
  // Not SOAP_XML_TREE: it would drop the encodingStyle attribute that SOAP
  // 1.2 answers carry on the response element. Every member is a value, so
  // nothing is ever shared and no multi-reference is ever written.
  // The runtime polls the connection before writing a fault and stays silent
  // when the client looks gone, which a client that half-closed after its
  // request also does. Always write the fault: a write to a peer that really
  // left fails harmlessly.
  soap->fpoll = [](struct soap*) { return SOAP_OK; };
  soap->fget = StaticFileHandler;
  soap->frecv = ReceiveFromBuffer;
  runtime_send = soap->fsend;
  soap->fsend = SendCounted;
  runtime_close = soap->fclose;
  soap->fclose = CloseUnlessUnanswered;
  runtime_post_header = soap->fposthdr;
  soap->fposthdr = PostHeader;
  soap->bind_flags = SO_REUSEADDR;
  soap->socket_flags = MSG_NOSIGNAL;
}

void ServeAcceptedConnection(struct soap* soap) {
  const int fd = soap->socket;
  SetIdleTimeouts(fd);
  Connection conn;
  switch (http::ReadRequest(fd, conn.request)) {
    case http::FrameStatus::kComplete:
      http::NormalizeRequest(conn.request);
      soap->user = &conn;
      soap_serve(soap);
      if (conn.sent == 0 && conn.held_open) {
        // The runtime stops without a word on a POST whose body is not a
        // SOAP envelope. Every request gets an answer: the fault for a
        // message that is not SOAP.
        conn.held_open = false;
        conn.hold_close = false;
        soap_begin(soap);
        soap->status = 0;
        soap->socket = fd;
        soap->version = 1;
        soap->error = SOAP_VERSIONMISMATCH;
        soap_send_fault(soap);
      }
      soap->user = nullptr;
      break;
    case http::FrameStatus::kTooLarge:
      SendPlainStatus(fd, "413 Request Entity Too Large");
      break;
    case http::FrameStatus::kMalformed:
      SendPlainStatus(fd, "400 Bad Request");
      break;
    case http::FrameStatus::kIncomplete:
      break;  // nothing usable arrived before the peer left or went idle
  }
  soap_destroy(soap);
  soap_end(soap);
  if (soap_valid_socket(soap->socket)) soap_force_closesock(soap);
}

}  // namespace ferro
