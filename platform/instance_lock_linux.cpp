#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/instance_lock.h"

namespace ferro {

InstanceLockResult AcquireInstanceLock(const char* name, const char* folder) {
  if (name == nullptr || *name == '\0' || std::strchr(name, '/') != nullptr) {
    return InstanceLockResult::kError;
  }
  struct stat ns {};
  if (::stat("/proc/self/ns/net", &ns) != 0) return InstanceLockResult::kError;
  if (::mkdir(folder, 0700) != 0 && errno != EEXIST) return InstanceLockResult::kError;
  struct stat dir {};
  if (::lstat(folder, &dir) != 0 || !S_ISDIR(dir.st_mode) || dir.st_uid != ::geteuid() ||
      (dir.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return InstanceLockResult::kError;
  }
  const std::string path = std::string(folder) + "/" + name + "-net" +
                           std::to_string(static_cast<unsigned long long>(ns.st_dev)) + "-" +
                           std::to_string(static_cast<unsigned long long>(ns.st_ino)) + ".lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return InstanceLockResult::kError;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd);
    return err == EWOULDBLOCK ? InstanceLockResult::kAlreadyExists : InstanceLockResult::kError;
  }
  // The descriptor is deliberately never closed: the lock stays held until
  // the process ends.
  return InstanceLockResult::kAcquired;
}

}  // namespace ferro
