// POSIX: who may change a file, from its owner, its mode bits and its access list (the
// "system.posix_acl_access" attribute), and from the folders on the way to it.
#include <fcntl.h>
#include <grp.h>
#include <linux/posix_acl.h>
#include <linux/posix_acl_xattr.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <mutex>

#include "platform/file_trust.h"
#include "platform/file_trust_walk_posix.h"
#include "platform/os.h"

namespace os {

namespace posix {

std::string UserName(uid_t uid) {
  std::vector<char> buf(16384);
  passwd pw{}, *found = nullptr;
  if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found) return found->pw_name;
  return "#" + std::to_string(uid);
}

}  // namespace posix

namespace {

using posix::UserName;

std::string GroupName(gid_t gid) {
  std::vector<char> buf(16384);
  group gr{}, *found = nullptr;
  if (::getgrgid_r(gid, &gr, buf.data(), buf.size(), &found) == 0 && found) return found->gr_name;
  return "#" + std::to_string(gid);
}

class Judge {
 public:
  explicit Judge(const std::vector<AccountId>& also_trusted) : also_trusted_(also_trusted) {}

  bool TrustedUser(uid_t uid) const {
    return uid == 0 || std::find(also_trusted_.begin(), also_trusted_.end(), std::to_string(uid)) != also_trusted_.end();
  }
  // The group root holds the machine's administrators.
  bool TrustedGroup(gid_t gid) const {
    return gid == 0 ||
           std::find(also_trusted_.begin(), also_trusted_.end(), "g:" + std::to_string(gid)) != also_trusted_.end();
  }

  // The writers of one file or folder, held open as `fd`. `replace_only`: a sticky folder above
  // something a trusted account owns: its other writers may add names there, never take that
  // one away.
  std::vector<Writer> Writers(int fd, const std::string& path, const struct stat& st, bool replace_only) const {
    std::vector<Writer> out;
    if (!TrustedUser(st.st_uid)) out.push_back({Writer::Kind::kOwner, UserName(st.st_uid)});
    if (replace_only) return out;
    // Links have no access list of their own; the descriptor's magic link reaches the object
    // itself (an O_PATH descriptor cannot be asked directly).
    std::vector<char> acl(4096);
    const std::string via = "/proc/self/fd/" + std::to_string(fd);
    ssize_t n = ::getxattr(via.c_str(), "system.posix_acl_access", acl.data(), acl.size());
    if (n < 0 && errno == ENOENT) n = ::getxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size());
    if (n >= static_cast<ssize_t>(sizeof(posix_acl_xattr_header))) {
      AclWriters(acl.data(), static_cast<std::size_t>(n), st, out);
      return out;
    }
    if (n < 0 && errno != ENODATA && errno != ENOTSUP) {
      out.push_back({Writer::Kind::kUnknown, "its access list cannot be read: " + SysErrorMessage(errno)});
    }
    if ((st.st_mode & S_IWGRP) && !TrustedGroup(st.st_gid)) out.push_back({Writer::Kind::kGroup, GroupName(st.st_gid)});
    if (st.st_mode & S_IWOTH) out.push_back({Writer::Kind::kEveryone, ""});
    return out;
  }

 private:
  // With an access list, the mode's group bits are its mask, and named users and groups may write
  // too, as far as the mask lets them.
  void AclWriters(const char* data, std::size_t size, const struct stat& st, std::vector<Writer>& out) const {
    std::vector<posix_acl_xattr_entry> entries;
    for (std::size_t at = sizeof(posix_acl_xattr_header); at + sizeof(posix_acl_xattr_entry) <= size;
         at += sizeof(posix_acl_xattr_entry)) {
      posix_acl_xattr_entry e;
      std::memcpy(&e, data + at, sizeof e);
      entries.push_back(e);
    }
    unsigned mask = ACL_READ | ACL_WRITE | ACL_EXECUTE;
    for (const auto& e : entries)
      if (e.e_tag == ACL_MASK) mask = e.e_perm;
    for (const auto& e : entries) {
      const bool writes = (e.e_perm & ACL_WRITE) != 0;
      switch (e.e_tag) {
        case ACL_USER:
          if (writes && (mask & ACL_WRITE) && !TrustedUser(e.e_id)) out.push_back({Writer::Kind::kUser, UserName(e.e_id)});
          break;
        case ACL_GROUP_OBJ:
          if (writes && (mask & ACL_WRITE) && !TrustedGroup(st.st_gid))
            out.push_back({Writer::Kind::kGroup, GroupName(st.st_gid)});
          break;
        case ACL_GROUP:
          if (writes && (mask & ACL_WRITE) && !TrustedGroup(e.e_id)) out.push_back({Writer::Kind::kGroup, GroupName(e.e_id)});
          break;
        case ACL_OTHER:
          if (writes) out.push_back({Writer::Kind::kEveryone, ""});
          break;
      }
    }
  }

  const std::vector<AccountId>& also_trusted_;
};

void Add(std::vector<UntrustedWrite>& found, const std::string& path, std::vector<Writer> writers) {
  if (writers.empty()) return;
  for (const UntrustedWrite& w : found)
    if (w.path == path) return;
  found.push_back({path, std::move(writers)});
}

std::string Join(const std::string& dir, const std::string& name) { return dir == "/" ? "/" + name : dir + "/" + name; }

// The names of a path, in order ("" and "." left out).
std::deque<std::string> Names(const std::string& path) {
  std::deque<std::string> out;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string name = path.substr(start, end - start);
    if (!name.empty() && name != ".") out.push_back(std::move(name));
    start = end + 1;
  }
  return out;
}

struct Folder {
  int fd;
  std::string path;
  struct stat st;
};

std::mutex g_accounts_mu;
std::vector<AccountId> g_agent_accounts;

}  // namespace

namespace posix {

Walked WalkAndJudge(const std::string& given, const std::vector<AccountId>& also_trusted) {
  const Judge judge(also_trusted);
  std::vector<Folder> folders;  // the folders from "/" to where the walk is
  auto close_all = [&] {
    for (const Folder& f : folders) ::close(f.fd);
    folders.clear();
  };
  // The message is the system's alone: the caller names the path it asked for.
  auto fail = [&](int e, const std::string&) {
    close_all();
    throw OsError(e, SysErrorMessage(e));
  };
  auto open_root = [&] {
    close_all();
    const int fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat st{};
    if (fd < 0 || ::fstat(fd, &st) != 0) fail(errno, "/");
    folders.push_back({fd, "/", st});
  };
  std::string path = given;
  if (path.empty() || path[0] != '/') {
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd)) fail(errno, given);
    path = std::string(cwd) + "/" + path;
  }
  std::deque<std::string> names = Names(path);
  open_root();
  Walked out;
  int links = 0;
  for (;;) {
    if (names.empty()) {
      // The path names a folder already opened (the root, or one left by ".."): it is the end.
      Folder last = folders.back();
      folders.pop_back();
      out.fd = last.fd;
      out.path = last.path;
      out.st = last.st;
      break;
    }
    const std::string name = names.front();
    names.pop_front();
    if (name == "..") {
      if (folders.size() > 1) {
        ::close(folders.back().fd);
        folders.pop_back();
      }
      continue;
    }
    const Folder& parent = folders.back();
    const std::string child = Join(parent.path, name);
    const int fd = ::openat(parent.fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) fail(errno, child);
    struct stat st{};
    if (::fstat(fd, &st) != 0) {
      const int e = errno;
      ::close(fd);
      fail(e, child);
    }
    // The folder it lies in: its writers could put something else under this name.
    const bool sticky = (parent.st.st_mode & S_ISVTX) != 0;
    Add(out.untrusted, parent.path, judge.Writers(parent.fd, parent.path, parent.st, sticky && judge.TrustedUser(st.st_uid)));
    if (S_ISLNK(st.st_mode)) {
      char target[PATH_MAX];
      const ssize_t n = ::readlinkat(fd, "", target, sizeof target - 1);
      const int e = errno;
      ::close(fd);
      if (n < 0) fail(e, child);
      if (++links > 40) fail(ELOOP, given);
      const std::string text(target, static_cast<std::size_t>(n));
      std::deque<std::string> more = Names(text);
      names.insert(names.begin(), more.begin(), more.end());
      if (!text.empty() && text[0] == '/') open_root();
      continue;
    }
    if (names.empty()) {
      out.fd = fd;
      out.path = child;
      out.st = st;
      break;
    }
    if (!S_ISDIR(st.st_mode)) {
      ::close(fd);
      fail(ENOTDIR, child);
    }
    folders.push_back({fd, child, st});
  }
  close_all();
  Add(out.untrusted, out.path, judge.Writers(out.fd, out.path, out.st, false));
  return out;
}

}  // namespace posix

AccountId CurrentAccount() { return std::to_string(::geteuid()); }

AccountId OwnerOf(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return {};
  return std::to_string(st.st_uid);
}

std::vector<AccountId> ProgramTrustees() { return {}; }

void SetAgentAccounts(std::vector<AccountId> accounts) {
  std::lock_guard lock(g_accounts_mu);
  g_agent_accounts = std::move(accounts);
}

bool IsAgentAccount(const AccountId& owner) {
  if (owner == "0" || owner == CurrentAccount()) return true;
  std::lock_guard lock(g_accounts_mu);
  return std::find(g_agent_accounts.begin(), g_agent_accounts.end(), owner) != g_agent_accounts.end();
}

std::vector<UntrustedWrite> UntrustedWriters(const std::vector<std::string>& paths,
                                             const std::vector<AccountId>& also_trusted) {
  std::vector<UntrustedWrite> found;
  for (const std::string& path : paths) {
    try {
      posix::Walked w = posix::WalkAndJudge(path, also_trusted);
      for (UntrustedWrite& u : w.untrusted) Add(found, u.path, std::move(u.writers));
    } catch (const OsError&) {
      // Missing (or unreachable): nothing there to change.
    }
  }
  return found;
}

void ProtectFolder(const std::string&) {}

}  // namespace os
