// A disk that fills up in the middle of a write, made real with the file-size limit: the lines
// already in the file survive whole and the caller gets the write error.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

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

}  // namespace
