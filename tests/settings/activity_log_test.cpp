#include "settings/activity_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "settings/text_file.h"
#include "test_util.h"

using settings::ActivityLog;

namespace {

os::LocalTime At(int y, int mo, int d, int h, int mi, int s, int ms = 0) { return {y, mo, d, h, mi, s, ms}; }

// A clock that hands out the given readings in turn and then repeats the last one.
struct ScriptedClock {
  std::vector<os::LocalTime> readings;
  std::size_t next = 0;
  os::LocalTime operator()() {
    const os::LocalTime& t = readings[next < readings.size() ? next : readings.size() - 1];
    if (next < readings.size()) ++next;
    return t;
  }
};

class ActivityLogTest : public ::testing::Test {
 protected:
  testutil::TempDir dir;
  os::LocalTime now = At(2018, 2, 9, 14, 5, 33, 999);
  ActivityLog log{dir.path(), [this] { return now; }};
  std::string LogFile() { return dir / "Tavrimondo_022018.LOG"; }
  std::string Bytes() { return testutil::ReadFile(LogFile()); }
};

// New files: Windows-1252 on Windows, UTF-8 on Linux; no byte-order mark either way.
const bool kUtf8System = os::UnmarkedTextIsUtf8();

TEST_F(ActivityLogTest, NewFileHoldsOneLineInTheSystemsEncoding) {
  log.Save("Iniciou o Serviço");
  // CR LF after the line, milliseconds dropped.
  EXPECT_EQ(Bytes(), kUtf8System ? "09/02/2018 14:05:33 - Iniciou o Servi\xC3\xA7o\r\n"
                                 : "09/02/2018 14:05:33 - Iniciou o Servi\xE7o\r\n");
}

TEST_F(ActivityLogTest, TimeStampAndFileName) {
  EXPECT_EQ(ActivityLog::FileNameFor(At(2019, 1, 31, 0, 0, 0)), "Tavrimondo_012019.LOG");
  EXPECT_EQ(ActivityLog::TimeStamp(At(2018, 12, 1, 23, 59, 59, 999)), "01/12/2018 23:59:59");
  EXPECT_EQ(ActivityLog::TimeStamp(At(2018, 12, 1, 0, 7, 0)), "01/12/2018 00:07:00");
}

TEST_F(ActivityLogTest, LinesAccumulateInOrder) {
  log.Save("um");
  now.second = 34;
  log.Save("");  // an empty text leaves the line ending in a blank
  log.Save("três ☺");  // in Windows-1252 a character the code page lacks becomes '?'
  EXPECT_EQ(Bytes(), std::string("09/02/2018 14:05:33 - um\r\n09/02/2018 14:05:34 - \r\n09/02/2018 14:05:34 - ") +
                         (kUtf8System ? "tr\xC3\xAAs \xE2\x98\xBA\r\n" : "tr\xEAs ?\r\n"));
}

TEST_F(ActivityLogTest, UnmarkedFileKeepsItsEncoding) {
  // A log of a Windows store (not valid UTF-8) stays Windows-1252 on every system.
  testutil::WriteFile(LogFile(), "09/02/2018 14:05:30 - Servi\xE7o\r\n");
  log.Save("Ação");
  EXPECT_EQ(Bytes(), "09/02/2018 14:05:30 - Servi\xE7o\r\n09/02/2018 14:05:33 - A\xE7\xE3o\r\n");
  // Valid UTF-8 without a mark: UTF-8 where that is the system's text, else the ANSI code page's
  // reading of those bytes, written back unchanged.
  testutil::WriteFile(LogFile(), "09/02/2018 14:05:30 - Servi\xC3\xA7o\r\n");
  log.Save("Ação");
  EXPECT_EQ(Bytes(), std::string("09/02/2018 14:05:30 - Servi\xC3\xA7o\r\n09/02/2018 14:05:33 - ") +
                         (kUtf8System ? "A\xC3\xA7\xC3\xA3o\r\n" : "A\xE7\xE3o\r\n"));
}

TEST_F(ActivityLogTest, OneCallIsOneLineWhateverTheTextHolds) {
  // Line breaks would forge lines (and make the next call rewrite the month's file); escape
  // sequences would repaint a terminal showing the log.
  log.Save("primeira\r\n09/02/2018 14:05:33 - forjada\nterceira\rfim\x1B[2J\t\x7F\xC2\x9B" "0m");
  EXPECT_EQ(Bytes(), "09/02/2018 14:05:33 - primeira 09/02/2018 14:05:33 - forjada terceira fim [2J   0m\r\n");
  const os::FileState before = os::StatFile(LogFile());
  log.Save("depois");
  EXPECT_EQ(os::StatFile(LogFile()).inode, before.inode) << "appended, not rewritten";
  EXPECT_EQ(settings::SplitLines(Bytes()).size(), 2u);
}

TEST_F(ActivityLogTest, AHugeTextIsCutAndMarked) {
  log.Save("CDSLogEstoqueRec - " + std::string(1 << 20, 'x'));
  const std::string bytes = Bytes();
  EXPECT_LT(bytes.size(), ActivityLog::kLineLimit + 100);
  EXPECT_TRUE(bytes.ends_with("x...[cortado: 1048595 bytes]\r\n")) << bytes.substr(bytes.size() - 60);
}

struct ExistingCase {
  const char* name;
  std::string before;
  std::string after;  // after adding "x" at 09/02/2018 14:05:33
};

class ExistingFileTest : public ActivityLogTest, public ::testing::WithParamInterface<ExistingCase> {};

TEST_P(ExistingFileTest, KeepsLinesAndEncoding) {
  testutil::WriteFile(LogFile(), GetParam().before);
  log.Save("x");
  EXPECT_EQ(Bytes(), GetParam().after);
}

const std::string kLineX = "09/02/2018 14:05:33 - x";

INSTANTIATE_TEST_SUITE_P(
    Cases, ExistingFileTest,
    ::testing::Values(
        ExistingCase{"Empty", "", kLineX + "\r\n"},
        // What a power cut leaves at the end of the file goes, the first time a process opens it.
        ExistingCase{"TornLastLine", "a\r\nb", "a\r\n" + kLineX + "\r\n"},
        ExistingCase{"ZeroFilledTail", std::string("a\r\n\0\0\0\0", 7), "a\r\n" + kLineX + "\r\n"},
        ExistingCase{"NothingWhole", "b\xC3", kLineX + "\r\n"},
        ExistingCase{"TornUtf16Line", std::string("\xFF\xFE" "a\0\r\0\n\0b\0c", 11),
                     std::string("\xFF\xFE" "a\0\r\0\n\0", 8) + settings::EncodeText(kLineX + "\r\n", settings::FileEncoding::kUtf16LE)},
        ExistingCase{"LfOnly", "a\nb\n", "a\r\nb\r\n" + kLineX + "\r\n"},
        ExistingCase{"CrOnly", "a\rb\r", "a\r\nb\r\n" + kLineX + "\r\n"},
        ExistingCase{"Ansi", "a\xE7\r\n", "a\xE7\r\n" + kLineX + "\r\n"},
        ExistingCase{"Utf8KeepsMark", "\xEF\xBB\xBF" "a\xC3\xA7\n", "\xEF\xBB\xBF" "a\xC3\xA7\r\n" + kLineX + "\r\n"},
        ExistingCase{"Utf16LeKeepsMark", std::string("\xFF\xFE" "a\0\n\0", 6),
                     std::string("\xFF\xFE" "a\0\r\0\n\0", 8) + settings::EncodeText(kLineX + "\r\n", settings::FileEncoding::kUtf16LE)},
        ExistingCase{"Utf16BeKeepsMark", std::string("\xFE\xFF\0a\0\r\0\n", 8),
                     std::string("\xFE\xFF\0a\0\r\0\n", 8) + settings::EncodeText(kLineX + "\r\n", settings::FileEncoding::kUtf16BE)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ActivityLogTest, UnicodeFilesStayUnicodeAcrossCalls) {
  for (auto enc : {settings::FileEncoding::kUtf8, settings::FileEncoding::kUtf16LE, settings::FileEncoding::kUtf16BE}) {
    testutil::WriteFile(LogFile(), std::string(settings::ByteOrderMark(enc)));
    log.Save("Ação ☺");
    log.Save("dois");
    std::string expected(settings::ByteOrderMark(enc));
    expected += settings::EncodeText("09/02/2018 14:05:33 - Ação ☺\r\n09/02/2018 14:05:33 - dois\r\n", enc);
    EXPECT_EQ(Bytes(), expected);
  }
}

TEST_F(ActivityLogTest, ATornCharacterDoesNotChangeTheEncoding) {
  // Linux: a UTF-8 log whose last character a power cut split would read as Windows-1252, and the
  // rest of the month would be written so.
  testutil::WriteFile(LogFile(), "09/02/2018 14:05:30 - Servi\xC3\xA7o\r\n09/02/2018 14:05:31 - Servi\xC3");
  log.Save("Ação");
  EXPECT_EQ(Bytes(), std::string("09/02/2018 14:05:30 - Servi\xC3\xA7o\r\n09/02/2018 14:05:33 - ") +
                         (kUtf8System ? "A\xC3\xA7\xC3\xA3o\r\n" : "A\xE7\xE3o\r\n"));
}

TEST_F(ActivityLogTest, OnlyTheFirstOpenRepairs) {
  log.Save("um");
  // Another program adds a line without a break while this process runs: it is a line of its own.
  testutil::WriteFile(LogFile(), Bytes() + "alheia");
  log.Save("dois");
  EXPECT_EQ(Bytes(), "09/02/2018 14:05:33 - um\r\nalheia\r\n09/02/2018 14:05:33 - dois\r\n");
}

TEST_F(ActivityLogTest, FileChangedByOthersBetweenCallsIsReadAgain) {
  log.Save("um");
  // Another program adds a line with a bare LF; the next call must not simply append.
  testutil::WriteFile(LogFile(), Bytes() + "alheia\n");
  log.Save("dois");
  EXPECT_EQ(Bytes(), "09/02/2018 14:05:33 - um\r\nalheia\r\n09/02/2018 14:05:33 - dois\r\n");
}

TEST(ActivityLog, MonthOfTheFileAndTimeOfTheLineAreTwoReadings) {
  testutil::TempDir dir;
  ScriptedClock clock{{At(2019, 1, 31, 23, 59, 59, 999), At(2019, 2, 1, 0, 0, 0, 1)}};
  ActivityLog log(dir.path(), std::ref(clock));
  log.Save("virada");
  EXPECT_EQ(testutil::ReadFile(dir / "Tavrimondo_012019.LOG"), "01/02/2019 00:00:00 - virada\r\n");
  EXPECT_FALSE(testutil::Exists(dir / "Tavrimondo_022019.LOG"));
}

// A log whose read fails, as when another program holds the file.
class UnreadableLog : public ActivityLog {
 public:
  using ActivityLog::ActivityLog;
  bool fail = true;

 protected:
  std::string ReadFileBytes(const std::string& path) override {
    if (fail) throw std::runtime_error("Cannot open file \"" + path + "\". Access is denied");
    return ActivityLog::ReadFileBytes(path);
  }
};

TEST(ActivityLog, FailedReadAddsTheErrorAfterTheEarlierLines) {
  testutil::TempDir dir;
  UnreadableLog log(dir.path(), [] { return At(2018, 2, 9, 14, 5, 33); });
  const std::string file = dir / "Tavrimondo_022018.LOG";
  testutil::WriteFile(file, "antes 1\r\nantes 2");
  log.Save("perdida");
  EXPECT_EQ(testutil::ReadFile(file),
            "antes 1\r\nantes 2\r\n09/02/2018 14:05:33 - Cannot open file \"" + file + "\". Access is denied\r\n");
  log.fail = false;
  log.Save("seguinte");
  const std::string bytes = testutil::ReadFile(file);
  EXPECT_TRUE(bytes.starts_with("antes 1\r\nantes 2\r\n09/02/2018 14:05:33 - Cannot open file")) << bytes;
  EXPECT_TRUE(bytes.ends_with("\r\n09/02/2018 14:05:33 - seguinte\r\n")) << bytes;
}

TEST(ActivityLog, UnwritableFolderRaisesCreateErrorAndLeavesNothing) {
  testutil::TempDir dir;
  const std::string missing = dir / "nao-existe" + std::string(1, os::PathDelim());
  ActivityLog log(missing, [] { return At(2018, 2, 9, 14, 5, 33); });
  try {
    log.Save("x");
    FAIL() << "no error";
  } catch (const settings::LogWriteError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Cannot create file \"" + missing + "Tavrimondo_022018.LOG\". ", 0), 0u)
        << e.what();
  }
  EXPECT_FALSE(testutil::Exists(missing));
}

// Below the free-space floor nothing is written, and the event log hears of it once; lines come
// again once there is room.
class FillingDisk : public ActivityLog {
 public:
  using ActivityLog::ActivityLog;
  std::uint64_t free = 100ull << 20;

 protected:
  std::optional<std::uint64_t> FreeBytes(const std::string&) override { return free; }
};

TEST(ActivityLog, BelowTheFloorNothingIsWrittenAndThatIsSaidOnce) {
  testutil::TempDir dir;
  FillingDisk log(dir.path(), [] { return At(2018, 2, 9, 14, 5, 33); });
  std::vector<std::string> reports;
  log.SetReporter([&](const messages::Text& t) { reports.push_back(t.str()); });
  log.Save("um");
  log.Save("dois");
  EXPECT_FALSE(testutil::Exists(dir / "Tavrimondo_022018.LOG"));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("menos de 200 MB livres (100 MB agora)"), std::string::npos) << reports[0];
  log.free = ActivityLog::kFreeSpaceFloor;
  log.Save("tres");
  EXPECT_EQ(testutil::ReadFile(dir / "Tavrimondo_022018.LOG"), "09/02/2018 14:05:33 - tres\r\n");
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_NE(reports[1].find("é gravado de novo"), std::string::npos) << reports[1];
}

TEST(ActivityLog, AWriteThatFailsIsReportedOnceUntilOneSucceeds) {
  testutil::TempDir dir;
  const std::string sub = dir / "agente";
  ActivityLog log(sub + std::string(1, os::PathDelim()), [] { return At(2018, 2, 9, 14, 5, 33); });
  log.SetRaiseWriteErrors(false);
  std::vector<std::string> reports;
  log.SetReporter([&](const messages::Text& t) { reports.push_back(t.str()); });
  log.Save("perdida 1");  // the folder is missing: nothing can be written, and nothing is raised
  log.Save("perdida 2");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("não pode ser gravado: Cannot create file"), std::string::npos) << reports[0];
  std::filesystem::create_directory(sub);
  log.Save("escrita");
  EXPECT_EQ(reports.size(), 1u);
  std::filesystem::remove_all(sub);
  log.Save("perdida 3");
  EXPECT_EQ(reports.size(), 2u) << "a new failure after a success is told again";
}

TEST(ActivityLog, ALockHeldElsewhereDelaysALineOnlySoLong) {
  testutil::TempDir dir;
  os::InterProcessLock holder(dir / ActivityLog::kLockFileName, std::chrono::milliseconds(0));
  ASSERT_TRUE(holder.Held()) << holder.Problem();
  ActivityLog log(dir.path(), [] { return At(2018, 2, 9, 14, 5, 33); });
  log.SetLockWait(std::chrono::milliseconds(300));
  std::vector<std::string> reports;
  log.SetReporter([&](const messages::Text& t) { reports.push_back(t.str()); });
  const auto start = std::chrono::steady_clock::now();
  log.Save("um");
  log.Save("dois");
  EXPECT_EQ(testutil::ReadFile(dir / "Tavrimondo_022018.LOG"),
            "09/02/2018 14:05:33 - um\r\n09/02/2018 14:05:33 - dois\r\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("sem sua trava"), std::string::npos) << reports[0];
}

TEST(ActivityLog, ConcurrentCallsLoseNoLine) {
  testutil::TempDir dir;
  constexpr int kThreads = 4, kLines = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Separate writers on one folder contend like separate processes do.
      ActivityLog log(dir.path(), [] { return At(2018, 2, 9, 14, 5, 33); });
      for (int i = 0; i < kLines; ++i) log.Save("t" + std::to_string(t) + " l" + std::to_string(i));
    });
  }
  for (auto& th : threads) th.join();
  auto lines = settings::SplitLines(testutil::ReadFile(dir / "Tavrimondo_022018.LOG"));
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
  std::vector<int> next(kThreads, 0);
  for (const auto& l : lines) {
    int t = 0, i = 0;
    ASSERT_EQ(std::sscanf(l.c_str(), "09/02/2018 14:05:33 - t%d l%d", &t, &i), 2) << l;
    EXPECT_EQ(i, next[t]++) << "lines of one writer keep their order";
  }
}

}  // namespace

// Old months go at the first line of a new month: "MesesDeLog" months are kept, the new one
// included, and one line names what went; 0 keeps every month.
TEST(ActivityLog, ANewMonthDeletesTheMonthsNoLongerKept) {
  struct Case {
    int keep;
    std::size_t files_left;  // of the 14 months, the new one included
  };
  for (const Case c : {Case{12, 12}, Case{0, 15}, Case{-5, 12}}) {
    testutil::TempDir dir;
    // Fourteen monthly files, March 2017 to April 2018, and files of others that only look alike.
    for (int i = 0; i < 14; ++i) {
      const int month = (2 + i) % 12 + 1, year = 2017 + (2 + i) / 12;
      testutil::WriteFile(dir / ActivityLog::FileNameFor(At(year, month, 1, 0, 0, 0)), "x\r\n");
    }
    testutil::WriteFile(dir / "Tavrimondo_011999.LOG.bak", "outro\r\n");
    testutil::WriteFile(dir / "Tavrimondo_ab1999.LOG", "outro\r\n");
    ActivityLog log(dir.path(), [] { return At(2018, 5, 2, 8, 0, 0); });
    log.SetKeepMonths([&] { return c.keep; });
    log.Save("maio");
    log.Save("de novo");  // not a new month: nothing more goes
    std::size_t months = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
      if (e.path().extension() == ".LOG" && e.path().filename().string() != "Tavrimondo_ab1999.LOG") ++months;
    EXPECT_EQ(months, c.files_left) << "MesesDeLog=" << c.keep;
    EXPECT_TRUE(testutil::Exists(dir / "Tavrimondo_011999.LOG.bak"));
    EXPECT_TRUE(testutil::Exists(dir / "Tavrimondo_ab1999.LOG"));
    const std::string month = testutil::ReadFile(dir / "Tavrimondo_052018.LOG");
    if (c.files_left == 12) {
      // May 2017 is the oldest month kept: 12 with May 2018.
      EXPECT_FALSE(testutil::Exists(dir / "Tavrimondo_042017.LOG"));
      EXPECT_TRUE(testutil::Exists(dir / "Tavrimondo_062017.LOG"));
      EXPECT_FALSE(testutil::Exists(dir / "Tavrimondo_052017.LOG"));
      EXPECT_NE(month.find("02/05/2018 08:00:00 - Apagou 3 log(s) de atividade de mais de 12 meses (MesesDeLog): "
                           "Tavrimondo_032017.LOG, Tavrimondo_042017.LOG, Tavrimondo_052017.LOG\r\n"),
                std::string::npos)
          << month;
    } else {
      EXPECT_EQ(month.find("Apagou"), std::string::npos) << month;
    }
    EXPECT_NE(month.find(" - de novo\r\n"), std::string::npos);
  }
}
