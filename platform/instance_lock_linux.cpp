#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/instance_lock.h"

namespace ferro {

InstanceLockResult AcquireInstanceLock(const char* name) {
  const size_t len = std::strlen(name);
  sockaddr_un addr{};
  if (len == 0 || len + 1 > sizeof(addr.sun_path)) return InstanceLockResult::kError;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return InstanceLockResult::kError;
  addr.sun_family = AF_UNIX;
  // sun_path[0] stays NUL: an abstract name, never a file on disk.
  std::memcpy(addr.sun_path + 1, name, len);
  const auto addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + len);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), addr_len) != 0) {
    const int err = errno;
    ::close(fd);
    return err == EADDRINUSE ? InstanceLockResult::kAlreadyExists : InstanceLockResult::kError;
  }
  // The descriptor is deliberately never closed: the name stays bound until
  // the process ends.
  return InstanceLockResult::kAcquired;
}

}  // namespace ferro
