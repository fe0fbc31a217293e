// Fuzzes the check of what the SOAP runtime reads against the runtime
// itself: any bytes are read as a request; when the check lets it through,
// the runtime is given it as the server gives it and reads every element it
// can reach, and what it then holds must be within the check's bounds: no
// attachments or transfer coding, no multi-reference attribute, no more
// attributes, attribute names and namespace declarations than the check
// counted.

#include <stdsoap2.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "front/request_parser.h"
#include "front/runtime_input.h"
#include "front/soap_front.h"
#include "front/xml_text.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

struct Input {
  std::string_view data;
  size_t consumed = 0;
};

// What the runtime reads. Not kept in the context's user data: that is the
// front's, for the exchange of the request served.
Input* g_input = nullptr;

size_t ReceiveInput(struct soap*, char* buf, size_t len) {
  Input* in = g_input;
  const size_t n = std::min(len, in->data.size() - in->consumed);
  std::memcpy(buf, in->data.data() + in->consumed, n);
  in->consumed += n;
  return n;
}

bool IsMultiReference(std::string_view name) {
  if (name == "xmlns" || name.substr(0, 6) == "xmlns:") return false;
  const size_t colon = name.rfind(':');
  const std::string_view local = colon == std::string_view::npos ? name : name.substr(colon + 1);
  return local == "href" || local == "id" || local == "ref";
}

// What the runtime holds once it has read a start tag.
void Inspect(const struct soap* soap) {
  size_t names = 0, on_element = 0, declarations = 0;
  for (const struct soap_attribute* a = soap->attributes; a != nullptr; a = a->next) {
    ++names;
    if (a->visible) {
      ++on_element;
      Check(!IsMultiReference(a->name));
    }
  }
  for (const struct soap_nlist* n = soap->nlist; n != nullptr; n = n->next) ++declarations;
  Check(names <= ferro::xml::kMaxAttributeNames);
  Check(on_element <= ferro::xml::kMaxAttributesPerElement);
  Check(declarations <= ferro::xml::kMaxNamespacesInScope);
}

// Reads the elements of one level the way the generated readers do, into
// every element down to a depth of 64.
void ReadElements(struct soap* soap, int depth) {
  while (soap_peek_element(soap) == SOAP_OK) {
    Inspect(soap);
    if (soap_element_begin_in(soap, nullptr, 0, nullptr) != SOAP_OK) return;
    if (soap->body) {
      if (depth < 64) ReadElements(soap, depth + 1);
      if (soap->error != SOAP_OK && soap->error != SOAP_NO_TAG) return;
      soap->error = SOAP_OK;
      if (soap_element_end_in(soap, nullptr) != SOAP_OK) return;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // A request with this header and body, or the bytes as a body.
  ferro::http::RequestParser parser;
  const bool whole = input.substr(0, 4) == "POST" &&
                     parser.Feed(input) == ferro::http::RequestParser::Status::kComplete;
  if (!whole) {
    parser = ferro::http::RequestParser();
    const std::string head =
        "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
    Check(parser.Feed(head) == ferro::http::RequestParser::Status::kNeedMore || size == 0);
    parser.Feed(input);
  }
  const ferro::http::Request& request = parser.request();
  if (parser.status() != ferro::http::RequestParser::Status::kComplete) return 0;
  const std::string body = ferro::xml::DecodeAstralReferences(request.body);
  if (ferro::RuntimeInputRefusal(request, body)) return 0;

  // The server's context, reading from the input.
  static struct soap* soap = [] {
    static struct soap context;
    ferro::InitServiceContext(&context);
    context.frecv = ReceiveInput;
    return &context;
  }();
  const std::string text = request.FramedHeader(body.size()) + body;
  Input in{text};
  g_input = &in;
  const int begun = soap_begin_recv(soap);
  Check((soap->mode & (SOAP_ENC_MIME | SOAP_ENC_DIME)) == 0);
  Check((soap->mode & SOAP_IO) != SOAP_IO_CHUNK);
  if (begun == SOAP_OK) ReadElements(soap, 0);
  soap_destroy(soap);
  soap_end(soap);
  g_input = nullptr;
  return 0;
}
