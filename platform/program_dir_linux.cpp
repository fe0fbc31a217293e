#include <unistd.h>

#include <string>
#include <vector>

#include "platform/program_dir.h"

namespace ferro {

std::string ProgramDirectory() {
  std::vector<char> buf(4096);
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return {};
  std::string path(buf.data(), static_cast<size_t>(n));
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return path.substr(0, slash);
}

// Linux paths have no separate short form.
std::string ShortPath(const std::string& path) { return path; }

}  // namespace ferro
