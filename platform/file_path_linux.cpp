#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "platform/file_path.h"
#include "platform/text.h"

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

// The errno that tells why a file of this kind is not taken.
int NotRegularError(mode_t mode) { return S_ISDIR(mode) ? EISDIR : EINVAL; }

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

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::FILE* OpenRegularFile(const std::string& path) {
  // O_NONBLOCK: opening a FIFO would otherwise wait for a writer, and some
  // devices wait as well. The type is judged on the opened descriptor rather
  // than on the name, so nothing can be swapped in between.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  int why = 0;
  if (fstat(fd, &st) != 0) {
    why = errno;
  } else if (!S_ISREG(st.st_mode)) {
    why = NotRegularError(st.st_mode);
  }
  if (why != 0) {
    close(fd);
    errno = why;
    return nullptr;
  }
  // Reading a regular file never waits; the flag goes so that the stream
  // behaves like any other.
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  std::FILE* file = fdopen(fd, "rb");
  if (file == nullptr) {
    const int cause = errno;
    close(fd);
    errno = cause;
  }
  return file;
}

bool ReplaceFileContents(const std::string& path, std::string_view bytes) {
  if (path.empty()) return false;
  std::string target = path;
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr) target = resolved;
  }
  // Only a regular file is replaced: the rename would put a regular file in
  // the place of a FIFO or a device node.
  struct stat old;
  const bool exists = stat(target.c_str(), &old) == 0;
  if (exists && !S_ISREG(old.st_mode)) {
    errno = NotRegularError(old.st_mode);
    return false;
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
  if (exists) fchmod(fd, old.st_mode & 07777);
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
