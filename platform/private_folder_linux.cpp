#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/private_folder.h"

namespace ferro {
namespace {

FolderEntry EntryOf(const struct stat& st) {
  FolderEntry e;
  e.regular = S_ISREG(st.st_mode);
  e.id = static_cast<uint64_t>(st.st_ino);
  e.size = static_cast<uint64_t>(st.st_size);
  e.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return e;
}

}  // namespace

std::string FileErrorText(FileError error) { return std::strerror(error); }
bool IsNoSpace(FileError error) { return error == ENOSPC || error == EDQUOT; }

void FolderFile::Close() {
  if (handle_ != kNone) ::close(static_cast<int>(handle_));
  handle_ = kNone;
}

FileError FolderFile::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(static_cast<int>(handle_), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

long long FolderFile::Read(char* buf, size_t size) {
  for (;;) {
    const ssize_t n = ::read(static_cast<int>(handle_), buf, size);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

FileError FolderFile::Sync() { return ::fsync(static_cast<int>(handle_)) == 0 ? 0 : errno; }

std::optional<FolderEntry> FolderFile::Describe() const {
  struct stat st {};
  if (::fstat(static_cast<int>(handle_), &st) != 0) return std::nullopt;
  return EntryOf(st);
}

std::unique_ptr<PrivateFolder> PrivateFolder::Open(const std::string& path, std::string* why) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    *why = std::strerror(errno);
    return nullptr;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    *why = std::strerror(errno);
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH))) {
    ::close(fd);
    *why = "it must belong to the server's user and be writable by nobody else";
    return nullptr;
  }
  std::unique_ptr<PrivateFolder> folder(new PrivateFolder);
  folder->path_ = path;
  folder->handle_ = fd;
  return folder;
}

PrivateFolder::~PrivateFolder() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

void PrivateFolder::ForEach(size_t max_entries, const std::function<bool(std::string_view)>& each) {
  const int copy = ::fcntl(static_cast<int>(handle_), F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return;
  DIR* d = ::fdopendir(copy);
  if (d == nullptr) {
    ::close(copy);
    return;
  }
  ::rewinddir(d);
  size_t seen = 0;
  while (const dirent* e = ::readdir(d)) {
    if (++seen > max_entries) break;
    if (!each(std::string_view(e->d_name))) break;
  }
  ::closedir(d);
}

std::optional<FolderEntry> PrivateFolder::Entry(const std::string& name) {
  struct stat st {};
  if (::fstatat(static_cast<int>(handle_), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return std::nullopt;
  }
  return EntryOf(st);
}

FolderFile PrivateFolder::Create(const std::string& name) {
  FolderFile file;
  file.handle_ = ::openat(static_cast<int>(handle_), name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  return file;
}

FolderFile PrivateFolder::OpenForReading(const std::string& name) {
  FolderFile file;
  file.handle_ = ::openat(static_cast<int>(handle_), name.c_str(),
                          O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (file.valid() && !(file.Describe() && file.Describe()->regular)) file.Close();
  return file;
}

FileError PrivateFolder::Rename(const std::string& from, const std::string& to, bool* exists) {
  const int dir = static_cast<int>(handle_);
  *exists = false;
  if (::linkat(dir, from.c_str(), dir, to.c_str(), 0) != 0) {
    *exists = errno == EEXIST;
    return errno;
  }
  ::unlinkat(dir, from.c_str(), 0);
  return 0;
}

FileError PrivateFolder::Remove(const std::string& name) {
  return ::unlinkat(static_cast<int>(handle_), name.c_str(), 0) == 0 ? 0 : errno;
}

std::optional<uint64_t> PrivateFolder::FreeBytes() {
  struct statvfs fs {};
  if (::fstatvfs(static_cast<int>(handle_), &fs) != 0) return std::nullopt;
  return static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
}

void PrivateFolder::Sync() { ::fsync(static_cast<int>(handle_)); }

}  // namespace ferro
