// Fuzzes the reading of which members a SOAP request carries: any bytes,
// read for the operation's own children and for those of one of them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "service/request_members.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ferro;
  const std::string_view xml(reinterpret_cast<const char*>(data), size);
  for (const std::string_view within : {std::string_view(), std::string_view("switchInfo")}) {
    const GivenMembers given = FindGivenMembers(xml, within);
    if (given.names.size() > kMaxGivenMembers) std::abort();
    if (!given.known && !given.names.empty()) std::abort();
    // Every name is one the request spells out.
    for (const auto& name : given.names) {
      if (xml.find(name) == std::string_view::npos) std::abort();
    }
  }
  return 0;
}
