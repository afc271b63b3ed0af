// POSIX only, for the platform's own files: a path opened one name at a time, each folder on the
// way judged as it is passed (file_trust_posix.cpp).
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/file_trust.h"

namespace os::posix {

// The name of a user ("#1234" when it has none here).
std::string UserName(uid_t uid);

// The end of a walk: the object the path names, held by an O_PATH descriptor, and who but the
// trusted accounts can change it or any folder passed on the way to it.
struct Walked {
  int fd = -1;       // O_PATH|O_NOFOLLOW, closed with the object
  std::string path;  // its real path
  struct stat st {};
  std::vector<UntrustedWrite> untrusted;

  Walked() = default;
  Walked(Walked&& o) noexcept : fd(o.fd), path(std::move(o.path)), st(o.st), untrusted(std::move(o.untrusted)) { o.fd = -1; }
  Walked& operator=(Walked&&) = delete;
  ~Walked() {
    if (fd >= 0) ::close(fd);
  }
};

// Opens `path` from "/" one name at a time, never letting the system follow a link: each name is
// opened with O_PATH|O_NOFOLLOW beneath the folder before it, a link is read and followed by hand
// (at most 40), and every folder passed is judged with what was found in it, as is the object at
// the end. A relative path starts at the current folder. Throws OsError when a name cannot be
// opened (ENOENT for a missing one).
Walked WalkAndJudge(const std::string& path, const std::vector<AccountId>& also_trusted);

}  // namespace os::posix
