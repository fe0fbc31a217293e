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

// Takes the named lock. On Linux this is an abstract-namespace Unix socket
// bound to the name: the name is unique per network namespace, so each
// network namespace behaves as its own machine.
InstanceLockResult AcquireInstanceLock(const char* name);

}  // namespace ferro
