// The cycle's pure logic: gaps in SEQUENCIAL and when they may be passed, the state file's text,
// and the index as the database reads it.
#include <gtest/gtest.h>

#include <filesystem>

#include "replication/replication_cycle.h"
#include "replication/replication_state.h"
#include "platform/status_io.h"
#include "replication/sequence_gaps.h"
#include "replication/stock_audit.h"
#include "test_util.h"

namespace {

using replication::GapTracker;
using replication::MonitorSnapshot;
using replication::OpenTransaction;
using replication::SeqRange;
using Verdict = GapTracker::Verdict;
using namespace std::chrono_literals;

MonitorSnapshot Look(std::int64_t horizon, std::vector<OpenTransaction> open = {}, bool complete = true) {
  return MonitorSnapshot{horizon, complete, std::move(open)};
}
// A transaction that has inserted `inserts` rows into the outgoing log and runs nothing now.
OpenTransaction Writer(std::int64_t id, std::int64_t inserts = 1) {
  return {id, "SYSDBA", "", "", true, false, id, "09:00", inserts};
}
// One whose statement runs right now.
OpenTransaction Running(std::int64_t id) { return {id, "SYSDBA", "", "", true, true, id, "09:00", 0}; }
OpenTransaction Idle(std::int64_t id) { return {id, "SYSDBA", "", "", false, false, id, "09:00", 0}; }

// One cycle as the replication cycle drives the tracker: the gaps read above `index`, one look,
// then the read again from the index.
struct Cycle {
  explicit Cycle(GapTracker& g) : gaps(g) {}
  GapTracker& gaps;
  GapTracker::Clock::time_point now = GapTracker::Clock::now();
  GapTracker::Passed passed;
  void Run(std::int64_t index, const std::vector<SeqRange>& found, std::int64_t last_row, const MonitorSnapshot& look) {
    gaps.BeginCycle("db", index);
    gaps.Learn(found, index + 1, last_row, now);
    passed = gaps.Settle(look, now);
    gaps.Rewind(index);
  }
};

TEST(GapTracker, OnlyAPossibleWriterOpenBeforeTheReadHoldsAGapAndTheLookSettlesItInTheSameCycle) {
  struct Case {
    const char* what;
    std::vector<OpenTransaction> open;
    Verdict verdict;
  } cases[] = {
      {"nobody open", {}, Verdict::kPass},
      {"an idle read-write transaction that never inserted", {Idle(40)}, Verdict::kPass},
      {"a writer that began after the read", {Writer(60)}, Verdict::kPass},
      {"a writer open before the read", {Idle(39), Writer(40)}, Verdict::kHeld},
      {"a statement running, open before the read", {Running(40)}, Verdict::kHeld},
  };
  for (const Case& c : cases) {
    GapTracker gaps;
    gaps.BeginCycle("db", 100);
    gaps.Rewind(100);
    EXPECT_EQ(gaps.Judge(101, 101), Verdict::kLook) << c.what;  // nothing known before the look
    Cycle(gaps).Run(100, {{101, 101}}, 102, Look(50, c.open));
    EXPECT_EQ(gaps.Judge(101, 101), c.verdict) << c.what;
  }
}

TEST(GapTracker, AnIdleWriterHoldsAGapWhileItKeepsInsertingForTwoCyclesAtMost) {
  struct Case {
    const char* what;
    std::vector<std::int64_t> inserts;  // its insert count at each look
    int held;                           // looks at which the gap is still held
  } cases[] = {
      // A till that committed with COMMIT RETAIN keeps its counters: idle at the same count.
      {"inserted once, then idle", {1, 1, 1}, 1},
      {"inserting at every look", {1, 2, 3, 4}, 2},
  };
  for (const Case& c : cases) {
    GapTracker gaps;
    Cycle cycle(gaps);
    int held = 0;
    for (std::int64_t n : c.inserts) {
      cycle.Run(100, {{101, 101}}, 102, Look(50, {Writer(40, n)}));
      if (gaps.Judge(101, 101) == Verdict::kHeld) ++held;
      else break;
    }
    EXPECT_EQ(held, c.held) << c.what;
    EXPECT_EQ(gaps.Judge(101, 101), Verdict::kPass) << c.what;
    EXPECT_TRUE(cycle.passed.after_limit.empty()) << "no line for an idle till: " << c.what;
  }
}

TEST(GapTracker, ARunningStatementHoldsAGapUntilTheLimitAndLetsItGoWhenIdle) {
  GapTracker gaps;
  Cycle c(gaps);
  for (int cycle = 0; cycle < 5; ++cycle) {
    c.Run(100, {{101, 101}}, 102, Look(50, {Running(40)}));
    EXPECT_EQ(gaps.Judge(101, 101), Verdict::kHeld) << "cycle " << cycle;
  }
  // Idle now, at the count it had: it went on with something else.
  c.Run(100, {{101, 101}}, 102, Look(50, {Idle(40)}));
  EXPECT_EQ(gaps.Judge(101, 101), Verdict::kPass);
}

TEST(GapTracker, AHeldGapIsJudgedAgainByEachCycleAndForgottenBehindTheIndex) {
  GapTracker gaps;
  Cycle(gaps).Run(100, {{101, 101}}, 102, Look(50, {Writer(40)}));
  // The next cycle must look again before it may pass.
  gaps.BeginCycle("db", 100);
  gaps.Rewind(100);
  EXPECT_EQ(gaps.Judge(101, 101), Verdict::kLook);
  // Its horizon stays that of the first look: a writer that began later does not hold it.
  Cycle(gaps).Run(100, {{101, 101}}, 102, Look(70, {Writer(60)}));
  EXPECT_EQ(gaps.Judge(101, 101), Verdict::kPass);
  gaps.BeginCycle("db", 102);
  EXPECT_EQ(gaps.Size(), 0u);
}

TEST(GapTracker, ARereadOnlyPassesValuesTheLookJudgedAndStillMissing) {
  GapTracker gaps;
  Cycle(gaps).Run(0, {{5, 7}, {20, 30}}, 31, Look(10));
  EXPECT_EQ(gaps.Judge(5, 5), Verdict::kPass);  // 6 was committed after the first read
  EXPECT_EQ(gaps.Judge(7, 9), Verdict::kHeld);  // 8 and 9 were rows then: something changed
  EXPECT_EQ(gaps.Judge(20, 30), Verdict::kPass);
  EXPECT_EQ(gaps.Judge(33, 33), Verdict::kHeld);  // beyond what the first read saw

  // A later read of the span forgets values filled since and keeps what is known of the rest.
  Cycle next(gaps);
  next.Run(0, {{5, 5}, {7, 9}, {25, 30}}, 31, Look(20, {Writer(15)}));
  EXPECT_EQ(gaps.Judge(5, 5), Verdict::kPass);    // settled by the first look, whatever runs now
  EXPECT_EQ(gaps.Judge(7, 9), Verdict::kHeld);    // 8 and 9 are new: writer 15 was open before them
  EXPECT_EQ(gaps.Judge(20, 30), Verdict::kHeld);  // 20 to 24 hold rows now
  EXPECT_EQ(gaps.Judge(25, 30), Verdict::kPass);
}

TEST(GapTracker, WithoutAFullViewAGapIsPassedInTheSecondCycleAfterItWasSeenAndWatched) {
  GapTracker gaps;
  Cycle c(gaps);
  for (int cycle = 0; cycle < 2; ++cycle) {
    c.Run(0, {{3, 3}}, 4, Look(0, {}, /*complete=*/false));
    EXPECT_EQ(gaps.Judge(3, 3), Verdict::kHeld) << "cycle " << cycle;
    EXPECT_TRUE(c.passed.without_view.empty());
  }
  c.Run(0, {{3, 3}}, 4, Look(0, {}, false));
  EXPECT_EQ(gaps.Judge(3, 3), Verdict::kPass);
  EXPECT_EQ(c.passed.without_view, (std::vector<SeqRange>{{3, 3}}));
}

TEST(GapTracker, AGapHeldLongerThanTheLimitsIsReportedOnceThenPassedWithWhatHeldIt) {
  GapTracker gaps;
  const OpenTransaction erp{81, "SYSDBA", "10.0.0.5/51234", "C:\\ERP\\erp.exe", true, true, 1, "09:00", 0};
  const OpenTransaction caixa{85, "CAIXA", "10.0.0.7/1", "", true, true, 2, "09:00", 0};
  Cycle c(gaps);
  c.Run(0, {{8, 9}, {12, 12}}, 13, Look(90, {erp, caixa}));
  EXPECT_TRUE(gaps.LongHeld(c.now + 9min).empty());
  const auto lines = gaps.LongHeld(c.now + 11min);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].str().substr(0, lines[0].str().find(". Veja no ERP")),
            "SEQUENCIAL 8 a 9, 12 aguarda há mais de 10 minutos o fim de transações do banco local; ainda aberta(s): "
            "transação 81 (usuário SYSDBA, endereço 10.0.0.5/51234, programa C:\\ERP\\erp.exe); "
            "transação 85 (usuário CAIXA, endereço 10.0.0.7/1)");
  EXPECT_TRUE(gaps.LongHeld(c.now + 20min).empty());
  const auto held = gaps.Held();
  ASSERT_TRUE(held);
  EXPECT_EQ(held->first, (SeqRange{8, 9}));
  EXPECT_EQ(held->gaps, 2u);

  c.now += 31min;
  c.Run(0, {{8, 9}, {12, 12}}, 13, Look(95, {erp}));
  EXPECT_EQ(gaps.Judge(8, 9), Verdict::kPass);
  EXPECT_EQ(c.passed.after_limit, (std::vector<SeqRange>{{8, 9}, {12, 12}}));
  ASSERT_EQ(c.passed.holders.size(), 1u);
  EXPECT_EQ(c.passed.holders[0].id, 81);
  EXPECT_FALSE(gaps.Held());
}

TEST(GapTracker, GapsOfAnotherDatabaseAreForgotten) {
  GapTracker gaps;
  Cycle(gaps).Run(0, {{5, 5}}, 6, Look(10));
  gaps.BeginCycle("other", 0);
  EXPECT_EQ(gaps.Size(), 0u);
}

TEST(GapTracker, AHundredThousandGapsAreJudgedInOnePass) {
  // A generator shared with other tables leaves every other value unused.
  std::vector<SeqRange> found;
  for (std::int64_t v = 2; v < 200000; v += 2) found.push_back({v, v});
  GapTracker gaps;
  Cycle(gaps).Run(0, found, 199999, Look(10, {Idle(5)}));
  for (std::int64_t v = 2; v < 200000; v += 2) ASSERT_EQ(gaps.Judge(v, v), Verdict::kPass) << v;
}

TEST(IndexValue, OnlyAPlainIntegerIsAnIndex) {
  struct Case {
    const char* text;
    std::optional<std::int64_t> value;
  } cases[] = {{"", 0},           {"0", 0},           {"00", 0},          {" 0", 0},          {"12345", 12345},
               {" 12 ", 12},      {"+7", 7},          {"-7", -7},         {"0.0", std::nullopt}, {"1.5", std::nullopt},
               {"1E3", std::nullopt}, {"abc", std::nullopt}, {"1 2", std::nullopt}, {" ", std::nullopt},
               {"+-1", std::nullopt}, {"9223372036854775807", INT64_MAX}, {"99999999999999999999", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(replication::IndexValue(c.text), c.value) << '"' << c.text << '"';
}

replication::ReplicationState Sample() {
  replication::ReplicationState s;
  s.store = 7;
  s.database = "localhost:C:\\Lojas\\Açaí 1\\KORDANE.FDB";
  s.load_mark = 8123;
  s.mark_product = "P\r9%";
  s.mark_stock = "1.2500";
  s.check = replication::SeedingCheck{8123, {5512}, 5500, {5480, 5490}, 0, {{100, 102}, {7000, 7000}}};
  s.watch.AddPassed(40, 70, {{50, 51}, {60, 60}}, 1765400000);
  s.watch.AddPassed(-3000, -2990, {{-2995, -2995}}, 1765400100);  // generators may start below zero
  s.watch.AddPassed(100000, 300000, {{100001, 299999}}, 1765400200);  // a run of whole windows
  s.pending.AddPassed(71, 90, {{75, 80}}, 1765400300);
  s.restored_highest = -4;
  s.had_index = true;
  s.last_reseed = 1765300000;
  s.audit_since = 1765335600;
  s.audit_requested = true;
  s.last_audit = replication::ReplicationState::LastAudit{1765335600, 4200, 100000, 3, 2};
  return s;
}

TEST(StateFile, WritesAndReadsBackWhatItHolds) {
  testutil::TempDir dir;
  replication::StateFile file(dir / "estado.txt");
  EXPECT_TRUE(file.Read().Empty());  // no file: no state
  file.Write(Sample());
  EXPECT_EQ(file.Read(), Sample());
  replication::ReplicationState no_check = Sample();
  no_check.check.reset();
  file.Write(no_check);
  EXPECT_EQ(file.Read(), no_check);
  file.Write({});  // nothing to remember: no file
  EXPECT_FALSE(std::filesystem::exists(dir / "estado.txt"));
}

TEST(StateFile, AnythingItDidNotWriteIsRefusedWithTheReason) {
  const std::string good = replication::StateFile::Format(Sample());
  auto replace = [&](const std::string& from, const std::string& to) {
    std::string s = good;
    s.replace(s.find(from), from.size(), to);
    return s;
  };
  struct Case {
    std::string text, reason;
  } cases[] = {{"", "falta a chave versao"},
               {"\x01\x02garbage\xff", "não está em UTF-8"},
               {replace("versao=1", "versao=2"), "versão desconhecida"},
               {replace("marca=8123", "marca=81x3"), "o valor de marca não é um número"},
               {replace("marca=8123", "marca=-1"), "o valor de marca não é um número"},
               {replace("loja=7", "loja=99999999999"), "não cabe em 32 bits"},
               {replace("conferir_desde=5500\n", ""), "falta a chave conferir_desde"},
               {replace("vigia=J-3072,", "vigia=J-3071,"), "fora dos seus limites"},
               {replace(";F100352,", ";F99328,"), "fora de ordem ou sobrepostos"},
               {replace(",r50-51.60", ",r50-51.60.2000"), "fora da janela"},
               {replace(",r50-51.60", ",x"), "forma desconhecida"},
               {good + "vigiar=51-50@1\n", "não é uma faixa"},
               {replace("marca_produto=P%0D9%25", "marca_produto=P%0"), "escape inválido"},
               {good + "marca=1\n", "chave repetida: marca"},
               {good + "outra=1\n", "chave desconhecida: outra"},
               {good + "sem igual\n", "linha sem \"=\""},
               {replace("auditoria_ultima=1765335600,4200,100000,3,2", "auditoria_ultima=1765335600,4200"),
                "auditoria_ultima não tem 5 números"}};
  for (const auto& c : cases) {
    try {
      replication::StateFile::Parse(c.text);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const replication::StateFileError& e) {
      EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
    }
  }
}

TEST(StateFile, AWatchWrittenByTheEarlierVersionIsReadIntoTheNewOne) {
  std::string text = replication::StateFile::Format(Sample());
  text.replace(text.find("vigia="), text.find('\n', text.find("vigia=")) - text.find("vigia="),
               "vigiar=-5--3@1765400000,60-60@1765400100");
  const replication::ReplicationState s = replication::StateFile::Parse(text);
  EXPECT_EQ(s.watch.MissingValues(), (std::vector<SeqRange>{{-5, -3}, {60, 60}}));
}

TEST(SeedingCheck, MergingKeepsEveryTransactionAndValueEitherWouldSuspect) {
  replication::SeedingCheck a{100, {10}, 12, {5, 7}, 30, {{90, 91}}};
  a.Merge({250, {40}, 42, {7, 33}, 50, {{92, 92}, {200, 201}}});
  EXPECT_EQ(a, (replication::SeedingCheck{250, {10, 40}, 12, {5, 7, 33}, 0, {{90, 92}, {200, 201}}}));
}

TEST(StateFile, ListsAreCappedWhenReadAndWhenMerged) {
  // A crafted or runaway file must not make the statements built from it too long for the server.
  replication::ReplicationState s = Sample();
  std::string ids;
  for (int i = 1; i <= 5000; ++i) ids += (i > 1 ? "," : "") + std::to_string(i);
  std::string text = replication::StateFile::Format(s);
  text.replace(text.find("conferir_abertas=5480,5490"), 26, "conferir_abertas=" + ids);
  const replication::ReplicationState read = replication::StateFile::Parse(text);
  ASSERT_EQ(read.check->open.size(), replication::kMaxStateList);
  EXPECT_EQ(read.check->open.back(), 5000);  // the newest kept

  replication::SeedingCheck big;
  for (std::int64_t i = 0; i < 3000; ++i) big.ranges.push_back({i * 10, i * 10});
  replication::SeedingCheck c;
  c.Merge(big);
  EXPECT_EQ(c.ranges.size(), replication::kMaxStateList);
  EXPECT_EQ(c.ranges.back(), (SeqRange{29990, 29990}));
}

// The audit is due in the first cycle once the audit hour (local) has come since the last one,
// whenever the agent runs then: a machine off at night audits when it starts.
TEST(StockAudit, DueOnceTheAuditHourHasComeSinceTheLastOne) {
  // A local midnight in July, when no clock changes to or from summer time.
  const std::int64_t noon = 1784635200;  // 2026-07-21 12:00 UTC
  const os::LocalTime t = os::ToLocal(std::chrono::system_clock::from_time_t(noon)).local;
  const std::int64_t midnight = noon - (t.hour * 3600 + t.minute * 60 + t.second);
  const std::int64_t h = 3600;
  const struct {
    std::int64_t since, now;
    int hour;
    bool due;
  } cases[] = {
      {midnight + 2 * h, midnight + 3 * h - 1, 3, false},     // 02:00 to 02:59:59
      {midnight + 2 * h, midnight + 3 * h, 3, true},          // 03:00 comes
      {midnight + 3 * h, midnight + 26 * h, 3, false},        // audited at 03:00, not again the same day
      {midnight + 3 * h, midnight + 27 * h + 5, 3, true},     // the next night
      {midnight + 10 * h, midnight + 33 * h, 3, true},        // off all night, started at 09:00
      {midnight + 10 * h, midnight + 23 * h, 22, true},       // AuditoriaHora=22
      {midnight + 10 * h, midnight + 21 * h, 22, false},
      {midnight + 10 * h, midnight + 34 * h, 0, true},        // midnight
      {midnight + 2 * h, midnight + 300 * h, -1, false},      // off
      {midnight + 200 * h, midnight + 3 * h, 3, true},        // a clock put back
      {midnight + 3 * h + 600, midnight + 3 * h, 3, false},   // a few minutes back is not
  };
  for (const auto& c : cases)
    EXPECT_EQ(replication::AuditDue(c.now, c.hour, c.since), c.due)
        << "since +" << (c.since - midnight) << " s, now +" << (c.now - midnight) << " s, hour " << c.hour;
}

TEST(StockAudit, AuditoriaHoraIsAnHourOrMinusOneAndAnythingElseKeepsTheDefault) {
  const struct {
    const char* written;
    int hour;
    bool valid;
  } cases[] = {{"", 3, true}, {"0", 0, true}, {"23", 23, true}, {"-1", -1, true}, {" 5", 5, true},
               {"24", 3, false}, {"-2", 3, false}, {"3h", 3, false}, {"abc", 3, false}};
  for (const auto& c : cases) {
    const replication::AuditHour h = replication::ParseAuditHour(c.written);
    EXPECT_EQ(h.hour, c.hour) << '"' << c.written << '"';
    EXPECT_EQ(h.valid, c.valid) << '"' << c.written << '"';
  }
}

TEST(StockAudit, StocksAreShownExactlyWithoutTrailingZeros) {
  const struct {
    std::int64_t stock;
    const char* shown;
  } cases[] = {{0, "0"}, {30000, "3"}, {72500, "7,25"}, {1, "0,0001"}, {-15000, "-1,5"}, {-1, "-0,0001"},
               {INT64_MIN, "-922337203685477,5808"}};
  for (const auto& c : cases) EXPECT_EQ(replication::FormatStock(c.stock), c.shown);
  EXPECT_EQ(replication::FormatStock(72500, '.'), "7.25");
}

}  // namespace
