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

std::string ShortPath(const std::string& path) {
  if (path.empty()) return {};
  std::vector<char> buf(MAX_PATH);
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD n = GetShortPathNameA(path.c_str(), buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) return std::string(buf.data(), n);
    buf.resize(n);  // n counts the terminator when the buffer was too small
  }
  return {};
}

}  // namespace ferro
