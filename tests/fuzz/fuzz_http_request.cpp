// Fuzzes the HTTP request framing and the request normalisation that run on
// every byte a client sends before the SOAP runtime sees it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "http_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  for (bool closed : {false, true}) {
    const auto frame = ferro::http::ScanRequest(input, closed);
    if (frame.status == ferro::http::FrameStatus::kComplete) {
      if (frame.length > size) __builtin_trap();
      std::string request(input.substr(0, frame.length));
      ferro::http::NormalizeRequest(request);
      (void)ferro::http::RequestLine(request);
    }
  }
  (void)ferro::http::DecodeAstralReferences(input);
  return 0;
}
