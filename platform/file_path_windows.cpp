// Paths and whole-file writes on Windows. Narrow paths are in the PC's ANSI
// code page, which the "A" calls and the C runtime's fopen take.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>

#include "platform/file_path.h"

namespace ferro {
namespace {

int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    default:
      return EIO;
  }
}

// The device namespace ("\\.\") holds pipes, consoles and drives, never a
// file to read or replace.
bool NamesDevice(const std::string& path) {
  return path.size() >= 4 && (path[0] == '\\' || path[0] == '/') &&
         (path[1] == '\\' || path[1] == '/') && path[2] == '.' &&
         (path[3] == '\\' || path[3] == '/');
}

// Opens `path` for `access` without waiting on it and tells what it is: 0
// for a regular file, otherwise the errno that says why it is not one
// (EISDIR for a folder, EINVAL for a device, a pipe or a console).
HANDLE OpenExisting(const std::string& path, DWORD access, int& why) {
  why = 0;
  if (path.empty() || NamesDevice(path)) {
    why = path.empty() ? ENOENT : EINVAL;
    return INVALID_HANDLE_VALUE;
  }
  // Backup semantics open a folder too, so that it can be named as one.
  HANDLE h = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    why = ErrnoOf(GetLastError());
    return h;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info)) {
    why = EINVAL;
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    why = EISDIR;
  }
  if (why != 0) {
    CloseHandle(h);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

bool WriteAll(HANDLE h, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!WriteFile(h, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

}  // namespace

std::optional<std::string> WidePathToNative(std::wstring_view path, size_t maxBytes) {
  if (path.empty()) return std::string();
  for (size_t i = 0; i < path.size(); ++i) {
    const wchar_t u = path[i];
    if (u == 0) return std::nullopt;
    // A surrogate is a character only as a high and low pair.
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 >= path.size() || path[i + 1] < 0xDC00 || path[i + 1] > 0xDFFF) return std::nullopt;
      ++i;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      return std::nullopt;
    }
  }
  if (path.size() > static_cast<size_t>(INT32_MAX / 4)) return std::nullopt;
  // A character the code page lacks would name another file: the path is
  // refused rather than changed.
  const bool utf8 = GetACP() == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_COMPOSITECHECK | WC_NO_BEST_FIT_CHARS;
  BOOL defaulted = FALSE;
  const int units = static_cast<int>(path.size());
  const int needed = WideCharToMultiByte(CP_ACP, flags, path.data(), units, nullptr, 0, nullptr,
                                         utf8 ? nullptr : &defaulted);
  if (needed <= 0 || defaulted || static_cast<size_t>(needed) + 1 > maxBytes) return std::nullopt;
  std::string out(static_cast<size_t>(needed), '\0');
  if (WideCharToMultiByte(CP_ACP, flags, path.data(), units, out.data(), needed, nullptr,
                          utf8 ? nullptr : &defaulted) != needed ||
      defaulted) {
    return std::nullopt;
  }
  return out;
}

bool IsRegularFile(const std::string& path) {
  int why = 0;
  HANDLE h = OpenExisting(path, 0, why);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

std::FILE* OpenRegularFile(const std::string& path) {
  int why = 0;
  HANDLE h = OpenExisting(path, GENERIC_READ, why);
  if (h == INVALID_HANDLE_VALUE) {
    errno = why;
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    errno = EMFILE;
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "rb");
  if (file == nullptr) {
    const int cause = errno;
    _close(fd);
    errno = cause;
  }
  return file;
}

bool ReplaceFileContents(const std::string& path, std::string_view bytes) {
  if (path.empty()) return false;
  if (NamesDevice(path)) {
    errno = EINVAL;
    return false;
  }
  // Only a regular file is replaced.
  const DWORD attributes = GetFileAttributesA(path.c_str());
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (exists) {
    int why = 0;
    HANDLE h = OpenExisting(path, 0, why);
    if (h == INVALID_HANDLE_VALUE) {
      errno = why;
      return false;
    }
    CloseHandle(h);
  }
  // The new file is written beside the old one under a name of this
  // process's own, then takes its place.
  static std::atomic<unsigned> counter{0};
  const size_t slash = path.find_last_of("\\/");
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string base =
      (slash == std::string::npos ? path : path.substr(slash + 1)).substr(0, 200);
  const std::string temp = folder + "." + base + ".tmp-" + std::to_string(GetCurrentProcessId()) +
                           "-" + std::to_string(counter.fetch_add(1));
  HANDLE h = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    errno = ErrnoOf(GetLastError());
    return false;
  }
  const bool written = WriteAll(h, bytes) && FlushFileBuffers(h);
  DWORD error = written ? 0 : GetLastError();
  CloseHandle(h);
  // An existing file is replaced with ReplaceFile, which keeps its access
  // rights and attributes (given full paths: Wine's takes no others); where
  // that fails, and for a new file, the temporary file is renamed.
  bool moved = false;
  if (written) {
    char fullPath[MAX_PATH * 4], fullTemp[MAX_PATH * 4];
    const DWORD n1 = GetFullPathNameA(path.c_str(), sizeof fullPath, fullPath, nullptr);
    const DWORD n2 = GetFullPathNameA(temp.c_str(), sizeof fullTemp, fullTemp, nullptr);
    moved = exists && n1 > 0 && n1 < sizeof fullPath && n2 > 0 && n2 < sizeof fullTemp &&
            ReplaceFileA(fullPath, fullTemp, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                         nullptr) != 0;
    if (!moved) {
      moved = MoveFileExA(temp.c_str(), path.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    }
    if (!moved) error = GetLastError();
  }
  if (!moved) {
    DeleteFileA(temp.c_str());
    errno = ErrnoOf(error);
    return false;
  }
  return true;
}

}  // namespace ferro
