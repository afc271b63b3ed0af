// POSIX: who may change a file, from its owner, its mode bits and its access list (the
// "system.posix_acl_access" attribute), and from the folders above it.
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
#include <cstdlib>
#include <cstring>

#include "platform/file_trust.h"
#include "platform/os.h"

namespace os {

namespace {

std::string UserName(uid_t uid) {
  std::vector<char> buf(16384);
  passwd pw{}, *found = nullptr;
  if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found) return found->pw_name;
  return "#" + std::to_string(uid);
}

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

  // The writers of one file or folder. `replace_only`: a sticky folder above a file that a trusted
  // account owns: its other writers may add names there, never take the file's away.
  std::vector<Writer> Writers(const std::string& path, const struct stat& st, bool replace_only) const {
    std::vector<Writer> out;
    if (!TrustedUser(st.st_uid)) out.push_back({Writer::Kind::kOwner, UserName(st.st_uid)});
    if (replace_only) return out;
    std::vector<char> acl(4096);
    const ssize_t n = ::getxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size());
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

}  // namespace

AccountId CurrentAccount() { return std::to_string(::geteuid()); }

AccountId OwnerOf(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return {};
  return std::to_string(st.st_uid);
}

std::vector<AccountId> OwnAccounts() { return {std::to_string(::geteuid()), "g:" + std::to_string(::getegid())}; }

std::vector<AccountId> OwnersOf(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return {};
  return {std::to_string(st.st_uid), "g:" + std::to_string(st.st_gid)};
}

std::vector<UntrustedWrite> UntrustedWriters(const std::vector<std::string>& paths,
                                             const std::vector<AccountId>& also_trusted) {
  const Judge judge(also_trusted);
  std::vector<UntrustedWrite> found;
  for (const std::string& given : paths) {
    char* real = ::realpath(given.c_str(), nullptr);
    if (!real) continue;  // missing: nothing to change
    std::string path(real);
    std::free(real);
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) continue;
    Add(found, path, judge.Writers(path, st, false));
    // The folders above, up to "/": their writers could rename what they hold and put another
    // file in its place.
    bool child_trusted = judge.TrustedUser(st.st_uid);
    std::string child = path;
    while (child != "/") {
      const std::size_t slash = child.find_last_of('/');
      const std::string parent = slash == 0 ? "/" : child.substr(0, slash);
      struct stat ps{};
      if (::stat(parent.c_str(), &ps) != 0) break;
      const bool sticky = (ps.st_mode & S_ISVTX) != 0;
      Add(found, parent, judge.Writers(parent, ps, sticky && child_trusted));
      child_trusted = judge.TrustedUser(ps.st_uid);
      child = parent;
    }
  }
  return found;
}

void ProtectFolder(const std::string&) {}

}  // namespace os
