// One agent per program folder: a lock held by the running service for as long as it lives.
//
// The lock is a small file in the program's folder holding the holder's process id, opened
// without following links and readable and writable by the agent's own account only. The system
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
