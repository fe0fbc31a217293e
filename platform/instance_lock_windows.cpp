// The instance lock on Windows: a named mutex in the session's namespace,
// created without initial ownership and never closed, so the system releases
// it when the process ends. The folder argument has no meaning here.
#include <windows.h>

#include <cstring>

#include "platform/instance_lock.h"

namespace ferro {

InstanceLockResult AcquireInstanceLock(const char* name, const char* /*folder*/) {
  // A backslash would name another namespace ("Global\...").
  if (name == nullptr || *name == '\0' || std::strchr(name, '\\') != nullptr) {
    return InstanceLockResult::kError;
  }
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
  const DWORD error = GetLastError();
  if (mutex == nullptr) {
    // A same-named object of another kind, or one another user made and
    // this one may not open: either way the name is taken.
    return error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_HANDLE
               ? InstanceLockResult::kAlreadyExists
               : InstanceLockResult::kError;
  }
  if (error == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return InstanceLockResult::kAlreadyExists;
  }
  // The handle is deliberately never closed: the name stays held until the
  // process ends.
  return InstanceLockResult::kAcquired;
}

}  // namespace ferro
