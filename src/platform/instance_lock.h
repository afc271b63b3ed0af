// One agent per program folder: a lock held by the running service for as long as it lives.
//
// The lock is a small file in the agent's data folder holding the holder's process id, opened
// without following links and open to the agent's own accounts only (POSIX: a regular file of one
// name, mode 0600, that root or the agent's account owns, anything else under its name replaced;
// Windows: an access list of SYSTEM and the Administrators, set again on a file found there), so
// that no other user can hold it and keep the service from starting. The system
// drops the lock when the process ends, however it ends, so a crash never leaves a stale lock
// behind. POSIX: flock on the file; Windows: LockFileEx on a byte of it.
#pragma once

#include <memory>
#include <string>

namespace os {

class InstanceLock {
 public:
  // Takes the lock of `path`, creating the file when it is missing. Nothing when another process
  // holds it: `holder` then gets that process's id as the file tells it (0 when it does not).
  // Throws OsError when the file cannot be opened at all.
  static std::unique_ptr<InstanceLock> TryTake(const std::string& path, long& holder);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

 private:
  InstanceLock() = default;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace os
