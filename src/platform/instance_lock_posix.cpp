#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/file_trust.h"
#include "platform/os.h"

namespace os {

struct InstanceLock::Impl {
  int fd = -1;
};

std::unique_ptr<InstanceLock> InstanceLock::TryTake(const std::string& path, long& holder) {
  holder = 0;
  // As the log's lock: a regular file of one name that the agent's accounts own and no one else
  // may open. Anything else under the name (a link, another's file, one open to others, who may
  // hold it already) goes, and a file of this process's own takes its place.
  int fd = -1;
  for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0 && errno != ELOOP) break;
    struct stat st{};
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 && (st.st_mode & 077) == 0 &&
        IsAgentAccount(std::to_string(st.st_uid)))
      break;
    if (fd >= 0) ::close(fd);
    fd = -1;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) break;
  }
  if (fd < 0) {
    const int e = errno ? errno : EPERM;
    throw OsError(e, "Cannot open \"" + path + "\": " + SysErrorMessage(e));
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    if (e == EWOULDBLOCK) {
      char buf[32] = {};
      const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
      if (n > 0) holder = std::strtol(buf, nullptr, 10);
      ::close(fd);
      return nullptr;
    }
    ::close(fd);
    throw OsError(e, "Cannot lock \"" + path + "\": " + SysErrorMessage(e));
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    // The lock holds all the same; only the id shown to a second agent is missing.
  }
  std::unique_ptr<InstanceLock> lock(new InstanceLock);
  lock->impl_ = std::make_unique<Impl>();
  lock->impl_->fd = fd;
  return lock;
}

InstanceLock::~InstanceLock() {
  if (impl_ && impl_->fd >= 0) ::close(impl_->fd);
}

}  // namespace os
