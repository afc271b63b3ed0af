// The watch of values passed without a row: what a check expects of each window, when each is due,
// runs of whole windows, the bound, and the state file's text of it.
#include <gtest/gtest.h>

#include <random>

#include "replication/passed_watch.h"

namespace {

using replication::PassedWatch;
using replication::SeqRange;
using replication::WindowOf;

constexpr std::int64_t kT = 1765400000;

// What a check of window `base` would find if the rows were exactly `rows` (ascending values).
std::pair<std::int64_t, std::int64_t> Aggregate(const PassedWatch& w, std::int64_t base, const std::vector<std::int64_t>& rows) {
  const PassedWatch::Entry& e = w.At(base);
  std::int64_t n = 0, sum = 0;
  for (std::int64_t v : rows)
    if (v >= e.from && v <= e.upto) ++n, sum += v - base;
  return {n, sum};
}

// Every value from `first` to `last` but the missing ones.
std::vector<std::int64_t> Rows(std::int64_t first, std::int64_t last, const std::vector<SeqRange>& missing) {
  std::vector<std::int64_t> out;
  for (std::int64_t v = first; v <= last; ++v)
    if (std::none_of(missing.begin(), missing.end(), [&](const SeqRange& r) { return v >= r.first && v <= r.last; }))
      out.push_back(v);
  return out;
}

TEST(PassedWatch, AWindowPassedInStepsExpectsExactlyItsRowsAndALateRowChangesItsFigures) {
  const std::vector<SeqRange> gaps = {{10, 10}, {1500, 1600}, {2047, 2050}};
  PassedWatch w;
  // Passed over three cycles, each going on where the last stopped.
  w.AddPassed(1, 700, {{10, 10}}, kT);
  w.AddPassed(701, 2000, {{1500, 1600}}, kT + 10);
  w.AddPassed(2001, 3000, {{2047, 2050}}, kT + 20);
  EXPECT_EQ(w.MissingValues(), gaps);
  std::vector<std::int64_t> rows = Rows(1, 3000, gaps);
  for (std::int64_t base : {0, 1024, 2048}) {
    const auto [n, sum] = Aggregate(w, base, rows);
    EXPECT_FALSE(w.At(base).dirty) << base;
    EXPECT_TRUE(w.Confirm(base, n, sum, kT + 30)) << base;
  }
  // A row appears at 1550; another row is deleted at 1700 and one appears at 1540: the count alone
  // would not tell.
  rows.push_back(1550);
  std::sort(rows.begin(), rows.end());
  auto [n, sum] = Aggregate(w, 1024, rows);
  EXPECT_FALSE(w.Confirm(1024, n, sum, kT + 40));
  std::erase(rows, 1700);
  rows.push_back(1540);
  std::sort(rows.begin(), rows.end());
  std::tie(n, sum) = Aggregate(w, 1024, rows);
  EXPECT_FALSE(w.Confirm(1024, n, sum, kT + 40));
  w.Resolve(1024, {1540, 1550}, n, sum, kT + 40);
  EXPECT_EQ(w.MissingValues(), (std::vector<SeqRange>{{10, 10}, {1500, 1539}, {1541, 1549}, {1551, 1600}, {2047, 2050}}));
  EXPECT_TRUE(w.Confirm(1024, n, sum, kT + 50));
}

TEST(PassedWatch, ASpanThatDoesNotGoOnWhereTheWindowStoppedIsReadRowByRow) {
  PassedWatch w;
  w.AddPassed(1, 100, {{50, 50}}, kT);
  w.AddPassed(200, 300, {{250, 250}}, kT);  // the index jumped: 101 to 199 are unknown
  EXPECT_TRUE(w.At(0).dirty);
  EXPECT_FALSE(w.Confirm(0, 0, 0, kT));
  EXPECT_EQ(w.DueAt(kT + 3600), (std::vector<std::int64_t>{0})) << "due whatever its age";
  w.Resolve(0, {}, 199, 12345, kT + 10);
  EXPECT_FALSE(w.At(0).dirty);
  EXPECT_EQ(w.MissingValues(), (std::vector<SeqRange>{{50, 50}, {250, 250}}));
}

TEST(PassedWatch, WholeWindowsWithoutARowAreOneRunHoweverLong) {
  PassedWatch w;
  // A generator that jumped by ten billion, below zero and above.
  w.AddPassed(-5000, 10'000'000'000, {{-4990, 9'999'999'990}}, kT);
  EXPECT_EQ(w.MissingValues(), (std::vector<SeqRange>{{-4990, 9'999'999'990}}));
  EXPECT_LE(w.Size(), 3u);
  // A late row inside it: its window becomes a window of its own, the rest stays one run each side.
  const std::int64_t base = std::next(w.Entries().begin())->first;
  ASSERT_TRUE(w.At(base).run);
  w.Resolve(base, {123456789}, 1, 123456789 - base, kT + 10);
  EXPECT_EQ(w.MissingValues(), (std::vector<SeqRange>{{-4990, 123456788}, {123456790, 9'999'999'990}}));
  EXPECT_TRUE(w.At(WindowOf(123456789)).dirty);
  // Passed again (the central index went back): a run's value with a row now is not missing.
  w.AddPassed(400'000'000, 400'000'000, {}, kT + 20);
  EXPECT_EQ(w.MissingValues(),
            (std::vector<SeqRange>{{-4990, 123456788}, {123456790, 399'999'999}, {400'000'001, 9'999'999'990}}));
}

TEST(PassedWatch, WindowsAreCheckedEveryCycleWhileNewThenEveryTenMinutesThenHourlyAndDroppedAfterSevenDays) {
  struct Case {
    std::int64_t age, since_check;
    bool due;
  } cases[] = {
      {60, 10, true},           {9 * 60, 10, true},                    // new: every cycle
      {3600, 9 * 60, false},    {3600, 10 * 60, true},                 // a day: every 10 minutes
      {2 * 86400, 59 * 60, false}, {2 * 86400, 3600, true},            // then hourly
      {7 * 86400, 10, true},                                           // its last check
  };
  for (const Case& c : cases) {
    PassedWatch w;
    w.AddPassed(1, 10, {{5, 5}}, kT);
    const std::int64_t now = kT + c.age;
    ASSERT_TRUE(w.Confirm(0, 9, 50, now - c.since_check));
    EXPECT_EQ(!w.DueAt(now).empty(), c.due) << c.age << " " << c.since_check;
    if (c.age >= PassedWatch::kKeepFor) {
      w.DropExpired(now);
      EXPECT_EQ(w.Size(), 1u) << "not before its last check";
      ASSERT_TRUE(w.Confirm(0, 9, 50, now));
      w.DropExpired(now);
      EXPECT_TRUE(w.Empty());
    }
  }
}

TEST(PassedWatch, AWindowNoCheckCouldReachIsDroppedADayPastItsTime) {
  PassedWatch w;
  w.AddPassed(1, 10, {{5, 5}}, kT);
  EXPECT_TRUE(w.DropOverdue(kT + PassedWatch::kKeepFor).empty()) << "its last check is still due";
  EXPECT_EQ(w.DropOverdue(kT + PassedWatch::kKeepFor + 86400), (std::vector<SeqRange>{{1, 10}}));
  EXPECT_TRUE(w.Empty());
}

TEST(PassedWatch, TheBoundDropsTheOldestWindowsAndSaysWhich) {
  PassedWatch w;
  std::int64_t v = 0;
  while (w.Bytes() <= PassedWatch::kMaxBytes + 4 * (sizeof(PassedWatch::Entry) + 64)) {
    w.AddPassed(v + 1, v + 2 * PassedWatch::kWindow, {{v + 7, v + 7}}, kT + v);
    v += 2 * PassedWatch::kWindow;
  }
  const std::vector<SeqRange> dropped = w.Trim();
  EXPECT_LE(w.Bytes(), PassedWatch::kMaxBytes);
  ASSERT_FALSE(dropped.empty());
  EXPECT_EQ(dropped.front(), (SeqRange{1, 1023})) << "the oldest first";
  EXPECT_LT(dropped.back().last, w.MissingValues().front().first) << "the newest kept";
}

TEST(PassedWatch, ARestoredDatabaseForgetsTheValuesAboveWhatItHolds) {
  PassedWatch w;
  w.AddPassed(1, 5000, {{10, 10}, {3000, 3000}}, kT);
  w.ForgetAbove(2999);
  EXPECT_EQ(w.MissingValues(), (std::vector<SeqRange>{{10, 10}}));
  EXPECT_TRUE(w.At(2048).dirty);
}

TEST(PassedWatch, ItsTextReadsBackAsItWas) {
  std::mt19937_64 rng(20261211);
  for (int round = 0; round < 50; ++round) {
    PassedWatch w;
    std::int64_t v = static_cast<std::int64_t>(rng() % 2'000'000) - 1'000'000;
    for (int span = 0; span < 8; ++span) {
      const std::int64_t first = v + 1, last = v + 1 + static_cast<std::int64_t>(rng() % 5000);
      std::vector<SeqRange> missing;
      for (std::int64_t x = first; x <= last; ++x) {
        const unsigned kind = rng() % 100;
        if (kind < (round % 2 ? 50u : 3u)) missing.push_back({x, x});  // dense or sparse
      }
      if (rng() % 4 == 0) missing.push_back({last + 1, last + 3000});  // a stretch without rows
      const std::int64_t end = missing.empty() ? last : std::max(last, missing.back().last) + 1;
      w.AddPassed(first, end, missing, kT + span);
      v = end + static_cast<std::int64_t>(rng() % 3);  // now and then a jump
    }
    const PassedWatch read = PassedWatch::Parse(w.Format());
    EXPECT_EQ(read, w) << "round " << round;
  }
  EXPECT_TRUE(PassedWatch::Parse("").Empty());
}

}  // namespace
