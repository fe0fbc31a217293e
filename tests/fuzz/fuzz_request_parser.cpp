// Fuzzes the request reader that runs on every byte a client sends, fed in
// pieces whose sizes come from the input itself, the check of what the SOAP
// runtime is given, and the XML passes over requests and answers.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "front/request_parser.h"
#include "front/runtime_input.h"
#include "front/xml_text.h"
#include "platform/text.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t step = data[0] % 64 + 1;

  // Whole and in pieces, the reader reaches the same result.
  ferro::http::RequestParser whole;
  const auto whole_status = whole.Feed(input);
  ferro::http::RequestParser pieces;
  auto status = ferro::http::RequestParser::Status::kNeedMore;
  for (size_t i = 0; i < input.size(); i += step) status = pieces.Feed(input.substr(i, step));
  Check(status == whole_status);
  if (status == ferro::http::RequestParser::Status::kComplete) {
    Check(pieces.request().Framed() == whole.request().Framed());
    Check(whole.request().body.size() <= input.size());
    (void)ferro::RuntimeInputRefusal(whole.request(), whole.request().body);
  }
  (void)pieces.Finish();

  (void)ferro::xml::DecodeAstralReferences(input);
  (void)ferro::xml::RequestRefusal(input);
  // A repaired text needs no further repair.
  if (const auto repaired = ferro::xml::RepairText(input)) {
    Check(!ferro::xml::RepairText(*repaired).has_value());
  }
  return 0;
}
