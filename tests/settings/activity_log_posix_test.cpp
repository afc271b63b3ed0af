// A disk that fills up in the middle of a write, made real with the file-size limit: the lines
// already in the file survive whole and the caller gets the write error. And the files of the
// log's folder as others may have prepared them: links, and a lock file of theirs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "settings/activity_log.h"
#include "test_util.h"

namespace {

// Lowers the file-size limit for the life of the object; writes beyond it fail with EFBIG.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit r = saved_;
    r.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &r);
  }
  ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_{};
};

os::LocalTime Fixed() { return {2018, 2, 9, 14, 5, 33, 0}; }

TEST(ActivityLogFullDisk, AppendThatStopsShortLeavesTheFileAsItWas) {
  testutil::TempDir dir;
  settings::ActivityLog log(dir.path(), &Fixed);
  const std::string file = dir / "Tavrimondo_022018.LOG";
  log.Save("primeira");
  const std::string before = testutil::ReadFile(file);
  {
    FileSizeLimit limit(before.size() + 40);  // room for part of the next line only
    try {
      log.Save(std::string(200, 'x'));
      FAIL() << "no error";
    } catch (const settings::LogWriteError& e) {
      EXPECT_STREQ(e.what(), "Stream write error");
    }
  }
  EXPECT_EQ(testutil::ReadFile(file), before);
  log.Save("depois");  // and the log goes on once there is room again
  EXPECT_EQ(testutil::ReadFile(file), before + "09/02/2018 14:05:33 - depois\r\n");
}

TEST(ActivityLogFullDisk, RewriteThatStopsShortLeavesTheOldFile) {
  testutil::TempDir dir;
  settings::ActivityLog log(dir.path(), &Fixed);
  const std::string file = dir / "Tavrimondo_022018.LOG";
  const std::string before = "linha com LF\nmais uma\n";  // must be rewritten with CR LF
  testutil::WriteFile(file, before);
  {
    FileSizeLimit limit(before.size());
    EXPECT_THROW(log.Save("nova"), settings::LogWriteError);
  }
  EXPECT_EQ(testutil::ReadFile(file), before);
  EXPECT_FALSE(testutil::Exists(file + ".tmp"));
}

TEST(ActivityLogFiles, LinksPlantedInTheFolderAreNeverFollowed) {
  testutil::TempDir dir, elsewhere;
  const std::string secret = elsewhere / "segredo", victim = elsewhere / "vitima";
  testutil::WriteFile(secret, "senha\n");
  testutil::WriteFile(victim, "intacta\n");
  const std::string file = dir / "Tavrimondo_022018.LOG";
  // The month's log a link to a secret, or a second name of it: a full rewrite would copy the
  // secret into the log, an append would write into it. Neither is the agent's own file: it is
  // never read, and a new file takes its name (the secret itself untouched).
  settings::ActivityLog log(dir.path(), &Fixed);
  std::vector<std::string> reports;
  log.SetReporter([&](const messages::Text& text) { reports.push_back(text.str()); });
  for (auto plant : {&::symlink, &::link}) {
    ::unlink(file.c_str());
    ASSERT_EQ(plant(secret.c_str(), file.c_str()), 0);
    log.Save("x");
    EXPECT_EQ(testutil::ReadFile(secret), "senha\n");
    EXPECT_EQ(testutil::ReadFile(file), "09/02/2018 14:05:33 - x\r\n");
    struct stat st{};
    ASSERT_EQ(::lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_nlink == 1);
  }
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_NE(reports[0].find("não era um arquivo do próprio agente (it is a link"), std::string::npos) << reports[0];
  EXPECT_NE(reports[1].find("não era um arquivo do próprio agente (it has 2 names"), std::string::npos) << reports[1];
  ::unlink(file.c_str());
  // The temporary file of a rewrite a link to another file: it is replaced, never written through.
  testutil::WriteFile(file, "LF apenas\n");  // needs a rewrite
  ASSERT_EQ(::symlink(victim.c_str(), (file + ".tmp").c_str()), 0);
  log.Save("x");
  EXPECT_EQ(testutil::ReadFile(victim), "intacta\n");
  EXPECT_EQ(testutil::ReadFile(file), "LF apenas\r\n09/02/2018 14:05:33 - x\r\n");
}

TEST(ActivityLogFiles, TheLockFileIsOpenToNoOtherAccount) {
  testutil::TempDir dir;
  const std::string lock = dir / settings::ActivityLog::kLockFileName;
  // One that another account made first, open to all, is replaced by one of this account's own.
  testutil::WriteFile(lock, "");
  ASSERT_EQ(::chmod(lock.c_str(), 0666), 0);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(lock.c_str(), 65534, 65534), 0);
  }
  settings::ActivityLog log(dir.path(), &Fixed);
  log.Save("x");
  struct stat st{};
  ASSERT_EQ(::lstat(lock.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_uid, ::geteuid());
  // A link under its name is not followed either.
  testutil::TempDir elsewhere;
  ::unlink(lock.c_str());
  ASSERT_EQ(::symlink((elsewhere / "alvo").c_str(), lock.c_str()), 0);
  log.Save("y");
  EXPECT_FALSE(testutil::Exists(elsewhere / "alvo"));
  ASSERT_EQ(::lstat(lock.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

}  // namespace
