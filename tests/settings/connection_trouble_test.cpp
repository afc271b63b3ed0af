// A failed connection in the activity log: named, logged when it starts, then hourly or when its
// reason changes, and once when it mends.
#include "settings/connection_trouble.h"

#include <gtest/gtest.h>

#include "settings/activity_log.h"
#include "settings/app_dir.h"
#include "settings/text_file.h"
#include "test_util.h"

namespace {

TEST(ConnectionTrouble, OnceThenHourlyOrOnANewReasonAndOnceWhenItMends) {
  testutil::TempDir dir;
  settings::SetAppDirectoryOverride(dir.path());
  settings::ConnectionTrouble trouble(messages::kCentralConnectFailed, messages::kCentralReconnected);
  auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(100);
  trouble.SetClock([&] { return now; });
  auto lines = [&] {
    std::vector<std::string> out;
    const std::string path = dir / settings::ActivityLog::FileNameFor(os::Now());
    if (!testutil::Exists(path)) return out;
    for (const std::string& l : settings::SplitLines(
             settings::DecodeText(testutil::ReadFile(path), settings::DetectFileEncoding(testutil::ReadFile(path)).encoding)))
      out.push_back(l.substr(l.find(" - ") + 3));
    return out;
  };
  const std::string refused = "Cannot connect to central:2507: Connection refused.";

  // A cycle every ten seconds for most of an hour: one line.
  for (int i = 0; i < 350; ++i, now += std::chrono::seconds(10)) trouble.Failed("central:2507", refused);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0].rfind("Falha ao conectar no Servidor Central (central:2507): Cannot connect to central:2507: "
                             "Connection refused. Confira ServidorCentral",
                             0),
            0u)
      << lines()[0];
  // An hour after the line, it is said again; another reason at once; a start or continue always.
  now += std::chrono::minutes(2);
  trouble.Failed("central:2507", refused);
  EXPECT_EQ(lines().size(), 2u);
  trouble.Failed("central:2507", "Cannot connect to central:2507: Connection timed out");
  EXPECT_EQ(lines().size(), 3u);
  trouble.Failed("central:2507", "Cannot connect to central:2507: Connection timed out", /*always=*/true);
  EXPECT_EQ(lines().size(), 4u);

  // Mended: one line saying since when it failed; a connection procedure's own line says it there.
  trouble.Succeeded("central:2507");
  trouble.Succeeded("central:2507");
  ASSERT_EQ(lines().size(), 5u);
  EXPECT_EQ(lines()[4].rfind("Reconectou no Servidor Central (central:2507), que falhava desde ", 0), 0u) << lines()[4];
  trouble.Failed("central:2507", refused);
  trouble.Succeeded("central:2507", /*quiet=*/true);
  EXPECT_EQ(lines().size(), 6u);  // the failure only
  settings::SetAppDirectoryOverride("");
}

}  // namespace
