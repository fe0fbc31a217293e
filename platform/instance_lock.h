#pragma once
// A system-wide named lock that tells whether another instance of a program
// already runs. It is held for the life of the process and released by the
// operating system when the process ends, however it ends.

namespace ferro {

enum class InstanceLockResult {
  kAcquired,       // this process is the only instance
  kAlreadyExists,  // another process holds the name
  kError,          // the lock could not be created for another reason
};

// The folder of the lock files: writable by root alone, so that no
// unprivileged user can take the name first and keep the server out.
inline constexpr const char* kInstanceLockFolder = "/run/ferrolink";

// Takes the named lock. On Linux this is a lock on a file in `folder`, whose
// name holds the network namespace: each network namespace behaves as its
// own machine, so servers in different namespaces run side by side. The
// folder is created (mode 0700) when missing, and refused (kError) when
// another user owns it or others may write to it. On Windows it is a named
// mutex in the login session's namespace and `folder` is not used; a name
// held by an object another user made, or by an object of another kind,
// counts as taken.
InstanceLockResult AcquireInstanceLock(const char* name, const char* folder = kInstanceLockFolder);

}  // namespace ferro
