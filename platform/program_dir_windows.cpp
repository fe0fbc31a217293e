#include <windows.h>

#include <string>
#include <vector>

#include "platform/program_dir.h"

namespace ferro {

std::string ProgramDirectory() {
  // The buffer grows until the whole path fits (a long path exceeds 260).
  std::vector<char> buf(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameA(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) {
      std::string path(buf.data(), n);
      const auto slash = path.find_last_of("\\/");
      if (slash == std::string::npos) return {};
      return path.substr(0, slash);
    }
    if (buf.size() >= 32768) return {};
    buf.resize(buf.size() * 2);
  }
}

}  // namespace ferro
