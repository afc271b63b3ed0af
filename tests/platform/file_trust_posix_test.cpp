// Who may change a file on Linux: owners, mode bits, access lists and the folders above, each on
// real files (the tests run as root, so owners can be anyone).
#include <gtest/gtest.h>
#include <linux/posix_acl.h>
#include <linux/posix_acl_xattr.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "platform/file_trust.h"
#include "test_util.h"

namespace {

using os::Writer;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

// "path: kind name, ..." for every finding, to compare whole.
std::string Findings(const std::vector<os::UntrustedWrite>& found) {
  std::string out;
  for (const auto& f : found) {
    out += f.path + ":";
    for (const auto& w : f.writers) {
      const char* kind = w.kind == Writer::Kind::kOwner   ? "owner"
                         : w.kind == Writer::Kind::kUser  ? "user"
                         : w.kind == Writer::Kind::kGroup ? "group"
                         : w.kind == Writer::Kind::kEveryone ? "everyone"
                                                              : "unknown";
      out += std::string(" ") + kind + (w.name.empty() ? "" : "=" + w.name);
    }
    out += "\n";
  }
  return out;
}

class FileTrustTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files other owners";
    // The scratch folder lies under /tmp (sticky, root's): only what is made here may be found.
    ::chmod(base.path().c_str(), 0755);
    folder = base / "agente";
    std::filesystem::create_directory(folder);
    ::chmod(folder.c_str(), 0755);
    exe = folder + "/SrvTavrimondoClient";
    testutil::WriteFile(exe, "");
    ::chmod(exe.c_str(), 0755);
  }
  std::string Check(const std::vector<std::string>& paths, const std::vector<os::AccountId>& trusted = {}) {
    return Findings(os::UntrustedWriters(paths, trusted));
  }

  testutil::TempDir base;
  std::string folder, exe;
};

TEST_F(FileTrustTest, AFolderOfRootsAloneIsTrusted) {
  EXPECT_EQ(Check({folder, exe, folder + "/kordane.ini"}), "");  // a missing file changes nothing
}

TEST_F(FileTrustTest, EachWayOthersMayWriteIsNamed) {
  ::chmod(folder.c_str(), 0777);
  ::chown(exe.c_str(), kNobody, 0);
  EXPECT_EQ(Check({folder, exe}), folder + ": everyone\n" + exe + ": owner=nobody\n");
  ::chmod(folder.c_str(), 0775);
  ::chown(folder.c_str(), 0, 100);  // a group of users
  ::chown(exe.c_str(), 0, 0);
  EXPECT_EQ(Check({exe}), folder + ": group=users\n");
  ::chown(folder.c_str(), 0, 0);  // the group root holds the administrators
  EXPECT_EQ(Check({exe}), "");
}

TEST_F(FileTrustTest, TheAccountTheAgentRunsAsIsTrustedToo) {
  // A package's folder belongs to the service's own account.
  ::chown(folder.c_str(), kNobody, kNobody);
  ::chown(exe.c_str(), kNobody, kNobody);
  EXPECT_EQ(Check({folder, exe}), folder + ": owner=nobody\n" + exe + ": owner=nobody\n");
  EXPECT_EQ(Check({folder, exe}, {std::to_string(kNobody)}), "");
  // The package's layout: root's folder, sticky, that the service's own group may write.
  ::chown(folder.c_str(), 0, kNogroup);
  ::chmod(folder.c_str(), 01775);
  EXPECT_EQ(Check({folder, exe}, {std::to_string(kNobody)}), folder + ": group=nogroup\n");
  EXPECT_EQ(Check({folder, exe}, {std::to_string(kNobody), "g:" + std::to_string(kNogroup)}), "");
}

TEST_F(FileTrustTest, AccessListEntriesCountAsFarAsTheMaskLets) {
  struct Entry {
    std::uint16_t tag, perm;
    std::uint32_t id;
  };
  auto set_acl = [&](std::vector<Entry> entries) {
    std::string value(sizeof(posix_acl_xattr_header), '\0');
    const std::uint32_t version = POSIX_ACL_XATTR_VERSION;
    std::memcpy(value.data(), &version, sizeof version);
    for (const Entry& e : entries) {
      posix_acl_xattr_entry x{e.tag, e.perm, e.id};
      value.append(reinterpret_cast<const char*>(&x), sizeof x);
    }
    return ::setxattr(exe.c_str(), "system.posix_acl_access", value.data(), value.size(), 0) == 0;
  };
  const std::vector<Entry> base_entries = {
      {ACL_USER_OBJ, 7, 0}, {ACL_USER, 6, kNobody}, {ACL_GROUP_OBJ, 5, 0}, {ACL_OTHER, 5, 0}};
  auto with_mask = [&](std::uint16_t mask) {
    auto e = base_entries;
    e.insert(e.begin() + 3, Entry{ACL_MASK, mask, 0});
    return e;
  };
  if (!set_acl(with_mask(7))) GTEST_SKIP() << "this file system keeps no access lists";
  EXPECT_EQ(Check({exe}), exe + ": user=nobody\n");
  ASSERT_TRUE(set_acl(with_mask(5)));  // the mask takes the write right away
  EXPECT_EQ(Check({exe}), "");
}

TEST_F(FileTrustTest, FoldersAboveCountButAStickyOneKeepsWhatRootOwns) {
  // A folder above that others may write: they could rename the agent's folder away.
  const std::string above = base / "acima";
  std::filesystem::create_directory(above);
  ::chmod(above.c_str(), 0777);
  const std::string inner = above + "/agente";
  std::filesystem::create_directory(inner);
  ::chmod(inner.c_str(), 0755);
  EXPECT_EQ(Check({inner}), above + ": everyone\n");
  // Sticky, like /tmp: names of others' can be added, root's never taken away.
  ::chmod(above.c_str(), 01777);
  EXPECT_EQ(Check({inner}), "");
  ::chown(inner.c_str(), kNobody, kNobody);
  EXPECT_EQ(Check({inner}), above + ": everyone\n" + inner + ": owner=nobody\n");
}

TEST_F(FileTrustTest, ASettingsLinkIsJudgedByWhatItPointsTo) {
  // A package keeps the settings in /etc and links them from the program's folder.
  const std::string etc = base / "etc";
  std::filesystem::create_directory(etc);
  ::chmod(etc.c_str(), 0755);
  testutil::WriteFile(etc + "/kordane.ini", "[Kordane]\n");
  ::chmod((etc + "/kordane.ini").c_str(), 0644);
  const std::string link = folder + "/kordane.ini";
  ASSERT_EQ(::symlink((etc + "/kordane.ini").c_str(), link.c_str()), 0);
  EXPECT_EQ(Check({folder, link}), "");
  ::chmod((etc + "/kordane.ini").c_str(), 0666);
  EXPECT_EQ(Check({folder, link}), etc + "/kordane.ini: everyone\n");
}

}  // namespace
