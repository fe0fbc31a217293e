#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "platform/file_path.h"
#include "platform/utf8.h"

namespace ferro {

std::optional<std::string> WidePathToNative(std::wstring_view path, size_t maxBytes) {
  std::string out;
  for (wchar_t w : path) {
    const auto cp = static_cast<uint32_t>(w);
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    AppendUtf8(out, cp);
    if (out.size() + 1 > maxBytes) return std::nullopt;
  }
  return out;
}

namespace {

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

bool ReplaceFileContents(const std::string& path, std::string_view bytes) {
  if (path.empty()) return false;
  std::string target = path;
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr) target = resolved;
  }
  // The new file is created beside the old one (a rename never crosses file
  // systems) under a name of this process's own; the umask applies as it
  // would to a file created in place.
  static std::atomic<unsigned> counter{0};
  const size_t slash = target.rfind('/');
  const std::string folder =
      slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  // The base name is shortened so the temporary name stays within the file
  // system's limit even when the final name is close to it.
  const std::string base =
      (slash == std::string::npos ? target : target.substr(slash + 1)).substr(0, 200);
  const std::string temp = folder + "." + base + ".tmp-" + std::to_string(getpid()) + "-" +
                           std::to_string(counter.fetch_add(1));
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  // A replaced file keeps its permission bits.
  struct stat old;
  if (stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) fchmod(fd, old.st_mode & 07777);
  const bool written = WriteAll(fd, bytes) && fsync(fd) == 0;
  const bool closed = close(fd) == 0;
  if (!written || !closed || rename(temp.c_str(), target.c_str()) != 0) {
    const int why = errno;
    unlink(temp.c_str());
    errno = why;  // the caller may report the cause
    return false;
  }
  return true;
}

}  // namespace ferro
