// The cycle's pure logic: gaps in SEQUENCIAL and when they may be passed, the state file's text,
// and the index as the database reads it.
#include <gtest/gtest.h>

#include <filesystem>

#include "replication/replication_cycle.h"
#include "replication/replication_state.h"
#include "replication/sequence_gaps.h"
#include "test_util.h"

namespace {

using replication::GapTracker;
using replication::MonitorSnapshot;
using replication::OpenTransaction;
using Verdict = GapTracker::Verdict;

MonitorSnapshot Look(std::int64_t next, std::vector<OpenTransaction> open = {}, bool complete = true) {
  return MonitorSnapshot{next, complete, std::move(open)};
}

TEST(GapTracker, ANewGapIsHeldUntilALaterLookShowsItsTakersEnded) {
  GapTracker gaps;
  gaps.BeginCycle(100);
  EXPECT_FALSE(gaps.NeedsSnapshot());
  EXPECT_EQ(gaps.Judge(101, 101), Verdict::kNew);  // no look taken after it was seen
  EXPECT_EQ(gaps.Judge(101, 101), Verdict::kHeld);

  // Next cycle: transaction 40 (open before the gap was seen) still runs.
  gaps.BeginCycle(100);
  ASSERT_TRUE(gaps.NeedsSnapshot());
  gaps.Settle(Look(50, {{40, "SYSDBA", "10.0.0.5/4000", "erp.exe"}}));
  EXPECT_EQ(gaps.Judge(101, 101), Verdict::kHeld);

  // A transaction that began after the gap was seen (60 >= horizon 50) does not hold it.
  gaps.BeginCycle(100);
  gaps.Settle(Look(70, {{60, "SYSDBA", "", ""}}));
  EXPECT_EQ(gaps.Judge(101, 101), Verdict::kPass);
  EXPECT_FALSE(gaps.NeedsSnapshot());

  // Once the index is past it, it is forgotten.
  gaps.BeginCycle(101);
  EXPECT_EQ(gaps.Size(), 0u);
}

TEST(GapTracker, PartsOfAGapAreJudgedByWhatIsKnownOfEachValue) {
  GapTracker gaps;
  gaps.BeginCycle(0);
  EXPECT_EQ(gaps.Judge(5, 7), Verdict::kNew);
  gaps.BeginCycle(0);
  gaps.Settle(Look(10));
  // 6 was committed meanwhile: what is left of the gap is settled.
  EXPECT_EQ(gaps.Judge(5, 5), Verdict::kPass);
  EXPECT_EQ(gaps.Judge(7, 7), Verdict::kPass);
  // A gap that reaches values never seen missing (the read did not go that far before) is new.
  EXPECT_EQ(gaps.Judge(7, 9), Verdict::kNew);
  EXPECT_EQ(gaps.Judge(20, 30), Verdict::kNew);
  // The first look after they were seen: any transaction open in it may have taken them.
  gaps.BeginCycle(0);
  gaps.Settle(Look(11, {{10, "", "", ""}}));
  EXPECT_EQ(gaps.Judge(7, 9), Verdict::kHeld);
  gaps.BeginCycle(0);
  gaps.Settle(Look(12));
  EXPECT_EQ(gaps.Judge(7, 9), Verdict::kPass);
  EXPECT_EQ(gaps.Judge(20, 30), Verdict::kPass);
}

TEST(GapTracker, WithoutAFullViewAGapIsPassedInTheSecondCycleAfterItWasSeen) {
  GapTracker gaps;
  gaps.BeginCycle(0);
  EXPECT_EQ(gaps.Judge(3, 3), Verdict::kNew);
  gaps.BeginCycle(0);
  gaps.Settle(Look(0, {}, /*complete=*/false));
  EXPECT_EQ(gaps.Judge(3, 3), Verdict::kHeld);
  gaps.BeginCycle(0);
  gaps.Settle(Look(0, {}, false));
  EXPECT_EQ(gaps.Judge(3, 3), Verdict::kPass);
}

TEST(GapTracker, AGapHeldLongerThanTenMinutesIsReportedOnceWithWhatHoldsIt) {
  GapTracker gaps;
  gaps.BeginCycle(0);
  gaps.Judge(8, 9);
  gaps.BeginCycle(0);
  gaps.Settle(Look(90, {{81, "SYSDBA", "10.0.0.5/51234", "C:\\ERP\\erp.exe"}, {85, "CAIXA", "10.0.0.7/1", ""}}));
  const auto now = GapTracker::Clock::now();
  EXPECT_TRUE(gaps.LongHeld(now + std::chrono::minutes(9)).empty());
  const auto lines = gaps.LongHeld(now + std::chrono::minutes(11));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "SEQUENCIAL 8 a 9 aguarda há mais de 10 minutos o fim de transações do banco local; ainda aberta(s): "
            "transação 81 (usuário SYSDBA, endereço 10.0.0.5/51234, programa C:\\ERP\\erp.exe); "
            "transação 85 (usuário CAIXA, endereço 10.0.0.7/1)");
  EXPECT_TRUE(gaps.LongHeld(now + std::chrono::minutes(30)).empty());
}

TEST(IndexValue, ReadsTheIndexAsTheDatabaseCompareIt) {
  struct Case {
    const char* text;
    std::optional<std::int64_t> value;
  } cases[] = {{"", 0},         {"0", 0},          {"00", 0},        {" 0", 0},   {"0.0", 0},
               {"12345", 12345}, {" 12 ", 12},      {"1.5", 2},       {"1.4", 1},  {"-1.5", -2},
               {"+7", 7},        {"abc", std::nullopt}, {"1 2", std::nullopt}, {" ", std::nullopt},
               {"99999999999999999999", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(replication::IndexValue(c.text), c.value) << '"' << c.text << '"';
}

replication::ReplicationState Sample() {
  replication::ReplicationState s;
  s.store = 7;
  s.database = "localhost:C:\\Lojas\\Açaí 1\\KORDANE.FDB";
  s.load_mark = 8123;
  s.check = replication::SeedingCheck{8123, {5512}, 5500, {5480, 5490}, 0};
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
               {good + "marca=1\n", "chave repetida: marca"},
               {good + "outra=1\n", "chave desconhecida: outra"},
               {good + "sem igual\n", "linha sem \"=\""}};
  for (const auto& c : cases) {
    try {
      replication::StateFile::Parse(c.text);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const replication::StateFileError& e) {
      EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
    }
  }
}

TEST(SeedingCheck, MergingKeepsEveryTransactionEitherWouldSuspect) {
  replication::SeedingCheck a{100, {10}, 12, {5, 7}, 30};
  a.Merge({250, {40}, 42, {7, 33}, 50});
  EXPECT_EQ(a, (replication::SeedingCheck{250, {10, 40}, 12, {5, 7, 33}, 0}));
}

}  // namespace
