// The cycle record: its counters and summary line, its times, the file it replaces, and that a
// record that cannot be written never reaches the cycle.
#include "replication/cycle_record.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "platform/os.h"
#include "platform/status_io.h"
#include "test_util.h"

namespace {

using namespace std::chrono;
using replication::CycleOutcome;
using replication::CycleReport;
using Json = nlohmann::json;

const replication::TimePoint kT0 = sys_days{2018y / 2 / 9} + 17h + 5min;  // some instant

CycleReport Cycle(CycleOutcome outcome, int read, int accepted, int rejected, std::string before, std::string after,
                  std::string error = "", seconds at = 0s) {
  CycleReport r;
  r.start = kT0 + at;
  r.end = r.start + 1200ms;
  r.outcome = outcome;
  r.rows_read = read;
  r.rows_accepted = accepted;
  r.rows_rejected = rejected;
  r.index_before = std::move(before);
  r.index_after = std::move(after);
  r.error = std::move(error);
  return r;
}

TEST(CycleRecordTime, IsoTextsRoundTripAndGarbageIsRejected) {
  for (auto t : {kT0, kT0 + 123ms, replication::TimePoint(sys_days{2024y / 12 / 31} + 23h + 59min + 59s + 999ms)}) {
    const std::string s = replication::FormatIsoTime(t);
    ASSERT_EQ(s.size(), 29u) << s;  // 2018-02-09T17:05:00.000+00:00
    EXPECT_EQ(replication::ParseIsoTime(s), t) << s;
  }
  EXPECT_EQ(replication::ParseIsoTime("2018-02-09T14:05:00-03:00"), kT0);
  EXPECT_EQ(replication::ParseIsoTime("2018-02-09T17:05:00Z"), kT0);
  EXPECT_EQ(replication::ParseIsoTime("2018-02-09T19:35:00.000+02:30"), kT0);
  for (const char* bad : {"", "2018-02-09", "2018-02-09T17:05:00", "2018-02-30T17:05:00Z", "2018-02-09T17:05:00Zjunk",
                          "2018-02-09 17:05:00Z", "2018-02-09T17:05:00.Z", "2018-02-09T17:05:00+0300",
                          "1013-12-10T14:03:13Z" /* beyond what a time point holds: found by fuzzing */})
    EXPECT_EQ(replication::ParseIsoTime(bad), std::nullopt) << bad;
}

TEST(CycleRecordText, OneLineJoinsLinesAndCutsWholeCharacters) {
  EXPECT_EQ(replication::OneLine("Unable to complete\r\nFailed to connect\r\n"), "Unable to complete / Failed to connect");
  EXPECT_EQ(replication::OneLine("a\nb\rc"), "a / b / c");
  EXPECT_EQ(replication::OneLine("aação", 3), "aa...");  // "ç" is two bytes: never cut in half
  EXPECT_EQ(replication::OneLine("a\x1B[2Jb\tc\x7F"), "a [2Jb c ");  // nothing that steers a terminal
  EXPECT_EQ(replication::DisplayDuration(350ms), "350 ms");
  EXPECT_EQ(replication::DisplayDuration(1250ms), "1.2 s");
  EXPECT_EQ(replication::DisplayDuration(200s), "3 min 20 s");
}

// What a reader keeps of a record file, whoever wrote it: the known fields, each a plain value or
// one of the record's own objects, and nothing nested deeper, however deep the file goes.
TEST(CycleRecordReading, OnlyTheKnownFieldsAreKept) {
  const std::string deep = std::string(1000000, '[') + std::string(1000000, ']');
  const std::string text = "{\"format\": 1, \"junk\": " + deep +
                           ", \"service\": {\"pid\": 7, \"exe\": {\"x\": 1}, \"extra\": \"y\"},"
                           " \"last_cycle\": {\"error\": \"e\", \"held\": {\"first\": 1, \"deep\": " + deep + "}},"
                           " \"counters\": [1, 2]}";
  EXPECT_EQ(nlohmann::json::parse(replication::SafeCycleRecord(text)),
            nlohmann::json::parse(R"({"format": 1, "service": {"pid": 7},
                                      "last_cycle": {"error": "e", "held": {"first": 1}}})"));
  // Numbers that are not whole, or too large for 64 bits, are dropped: read as counts they would
  // overflow.
  EXPECT_EQ(nlohmann::json::parse(replication::SafeCycleRecord(
                R"({"format": 1, "last_cycle": {"duration_ms": 1e51, "rows_read": 2.5, "rows_rejected": 3}})")),
            nlohmann::json::parse(R"({"format": 1, "last_cycle": {"rows_rejected": 3}})"));
  for (const char* bad : {"", "[1", "{}", "{\"format\": 2}", "{\"format\": \"1\"}", "[{\"format\": 1}]"})
    EXPECT_THROW(replication::SafeCycleRecord(bad), std::runtime_error) << bad;
}

TEST(CycleCounters, CountEveryOutcomeAndTheFailuresInARow) {
  replication::CycleCounters c;
  c.Count(Cycle(CycleOutcome::kSent, 120, 120, 0, "", "120", "", 0s));
  c.Count(Cycle(CycleOutcome::kIdle, 0, 0, 0, "120", "120", "", 10s));
  // A rejected batch after an accepted one: the accepted rows count as sent.
  c.Count(Cycle(CycleOutcome::kFailed, 100, 50, 50, "120", "170", "CDSLogEstoqueRec - produto bloqueado", 20s));
  c.Count(Cycle(CycleOutcome::kFailed, 0, 0, 0, "", "", "Connection refused", 30s));
  c.Count(Cycle(CycleOutcome::kStoppedEarly, 50, 50, 0, "170", "220", "", 40s));
  EXPECT_EQ(c.cycles, 5);
  EXPECT_EQ(c.sent, 1);
  EXPECT_EQ(c.idle, 1);
  EXPECT_EQ(c.failed, 2);
  EXPECT_EQ(c.stopped_early, 1);
  EXPECT_EQ(c.rows_sent, 220);
  EXPECT_EQ(c.rows_rejected, 50);
  EXPECT_EQ(c.consecutive_failures, 0);  // the last cycle did not fail
  EXPECT_EQ(c.last_sent, kT0 + 40s + 1200ms);
  EXPECT_EQ(c.last_success, kT0 + 40s + 1200ms);
  EXPECT_EQ(c.last_failure, kT0 + 30s + 1200ms);
  c.Count(Cycle(CycleOutcome::kFailed, 0, 0, 0, "", "", "x", 50s));
  c.Count(Cycle(CycleOutcome::kFailed, 0, 0, 0, "", "", "x", 60s));
  EXPECT_EQ(c.consecutive_failures, 2);
}

TEST(CycleSummary, SaysWhatTheLastCycleDidOnOneLine) {
  replication::CycleCounters c;
  c.since = kT0;
  const struct {
    CycleReport cycle;
    const char* says;
  } cases[] = {
      {Cycle(CycleOutcome::kSent, 120, 120, 0, "", "120"), "(1.2 s): sent 120 rows, index none -> 120."},
      {Cycle(CycleOutcome::kIdle, 0, 0, 0, "120", "120"), "(1.2 s): nothing to send, index 120."},
      {Cycle(CycleOutcome::kFailed, 0, 0, 0, "", "", "Unable to complete\r\nFailed to establish"),
       "(1.2 s): FAILED: Unable to complete / Failed to establish."},
      {Cycle(CycleOutcome::kFailed, 100, 50, 50, "120", "170", "CDSLogEstoqueRec - bloqueado"),
       "FAILED after sending 50 rows, 50 rows rejected: CDSLogEstoqueRec - bloqueado."},
      {Cycle(CycleOutcome::kStoppedEarly, 50, 50, 0, "170", "220"), "stopped early after sending 50 rows, index 170 -> 220."},
  };
  for (const auto& k : cases) {
    c.Count(k.cycle);
    const std::string s = replication::CycleSummary(k.cycle, c);
    EXPECT_EQ(s.rfind("Last cycle " + replication::DisplayTime(k.cycle.start), 0), 0u) << s;
    EXPECT_NE(s.find(k.says), std::string::npos) << s;
    EXPECT_EQ(s.find('\n'), std::string::npos) << s;
  }
  EXPECT_NE(replication::CycleSummary(cases[4].cycle, c)
                .find("5 cycles (1 sent, 1 idle, 2 failed, 1 stopped early), 220 rows sent."),
            std::string::npos);
  EXPECT_EQ(replication::CycleSummary(std::nullopt, replication::CycleCounters{}).rfind("No cycle yet.", 0), 0u);
}

TEST(CycleRecorder, ReplacesTheRecordWithTheServiceStateTheLastCycleAndTheCounters) {
  testutil::TempDir dir;
  const std::string path = dir / "Tavrimondo_cycle.json";
  replication::CycleRecorder rec(path);
  rec.RecordServiceState("running");
  Json j = Json::parse(testutil::ReadFile(path));
  EXPECT_EQ(j["format"], 1);
  EXPECT_EQ(j["service"]["state"], "running");
  EXPECT_EQ(j["service"]["pid"], os::CurrentProcessId());
  EXPECT_EQ(j["service"]["exe"], os::ExeName());
  EXPECT_TRUE(j["last_cycle"].is_null());

  const std::string summary = rec.RecordCycle(Cycle(CycleOutcome::kSent, 120, 120, 0, "", "120"));
  rec.RecordCycle(Cycle(CycleOutcome::kFailed, 3, 0, 3, "120", "120", "CDSLogEstoqueRec - bloqueado\r\nlinha 2", 10s));
  j = Json::parse(testutil::ReadFile(path));
  const Json& c = j["last_cycle"];
  EXPECT_EQ(c["outcome"], "failed");
  EXPECT_EQ(c["rows_read"], 3);
  EXPECT_EQ(c["rows_accepted"], 0);
  EXPECT_EQ(c["rows_rejected"], 3);
  EXPECT_EQ(c["index_before"], "120");
  EXPECT_EQ(c["index_after"], "120");
  EXPECT_EQ(c["error"], "CDSLogEstoqueRec - bloqueado\r\nlinha 2");  // whole, as the server sent it
  EXPECT_EQ(c["duration_ms"], 1200);
  EXPECT_EQ(replication::ParseIsoTime(c["start"]), kT0 + 10s);
  EXPECT_EQ(j["counters"]["cycles"], 2);
  EXPECT_EQ(j["counters"]["rows_sent"], 120);
  EXPECT_EQ(j["counters"]["consecutive_failures"], 1);
  EXPECT_EQ(replication::ParseIsoTime(j["counters"]["last_sent"]), kT0 + 1200ms);
  EXPECT_EQ(j["summary"], rec.Summary());
  EXPECT_NE(summary, rec.Summary());
  EXPECT_EQ(j["service"]["state"], "running");  // kept across cycles

  int files = 0;
  for ([[maybe_unused]] auto& f : std::filesystem::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 1);  // no temporary file left behind
}

TEST(CycleRecorder, AnUnwritableRecordIsReportedOnceAndNeverThrows) {
  testutil::TempDir dir;
  const std::string sub = dir / "gone";
  std::vector<std::string> reported;
  replication::CycleRecorder rec(sub + "/Tavrimondo_cycle.json", [&](const std::string& m) { reported.push_back(m); });
  EXPECT_NO_THROW(rec.RecordCycle(Cycle(CycleOutcome::kIdle, 0, 0, 0, "5", "5")));
  EXPECT_NO_THROW(rec.RecordServiceState("paused"));
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_FALSE(reported[0].empty());  // why: the event log's entry names the file
  EXPECT_EQ(rec.Counters().cycles, 1);  // counted all the same

  std::filesystem::create_directory(sub);
  rec.RecordCycle(Cycle(CycleOutcome::kIdle, 0, 0, 0, "5", "5"));
  EXPECT_EQ(Json::parse(testutil::ReadFile(sub + "/Tavrimondo_cycle.json"))["counters"]["cycles"], 2);
  std::filesystem::remove_all(sub);
  rec.RecordCycle(Cycle(CycleOutcome::kIdle, 0, 0, 0, "5", "5"));
  EXPECT_EQ(reported.size(), 2u);  // failing again after a success is news again

  // A sink that throws changes nothing either.
  replication::CycleRecorder loud(sub + "/x.json", [](const std::string&) { throw std::runtime_error("event log full"); });
  EXPECT_NO_THROW(loud.RecordServiceState("running"));
}

TEST(CycleRecorder, BrokenUtf8FromAServerStaysAValidRecord) {
  testutil::TempDir dir;
  replication::CycleRecorder rec(dir / "r.json");
  rec.RecordCycle(Cycle(CycleOutcome::kFailed, 0, 0, 0, "", "", std::string("bad \xC3 byte")));
  const Json j = Json::parse(testutil::ReadFile(dir / "r.json"));
  EXPECT_EQ(j["last_cycle"]["error"], "bad \xEF\xBF\xBD byte");
}

}  // namespace
