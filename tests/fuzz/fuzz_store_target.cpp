// Fuzzes what the firmware store reads from a request line before it touches
// the disk: the target's query, the image name it yields and the check of
// that name.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "front/firmware_store.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const ferro::StoreTarget target = ferro::ParseStoreTarget(input);
  Check(target.path.size() <= input.size());
  const std::string name = target.name.value_or(std::string(input));
  if (!ferro::ImageNameRefusal(name, 100)) {
    // A name the store takes stays inside its folder and hidden from none.
    Check(!name.empty() && name.size() <= 100);
    Check(name.find('/') == std::string::npos && name.find('\\') == std::string::npos);
    Check(name.front() != '.');
    for (char c : name) Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
  }
  return 0;
}
