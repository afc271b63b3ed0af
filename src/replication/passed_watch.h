// The values of SEQUENCIAL that the central index passed while they had no row.
//
// A gap in SEQUENCIAL is passed quickly (sequence_gaps.h): most are rolled-back inserts, and a
// store must not wait for an ERP transaction that sits idle for hours. But a transaction that held
// such a value may still commit its row later, below the central index, where the cycle never reads
// again. So every value passed without a row is remembered here, for seven days, and checked for a
// row that appears late; that row's product then gets a fresh row with its current stock.
//
// Kept compactly: the values are grouped in windows of 1,024 values, each a bitmap of the values
// that were missing, with how many rows the window held when it was passed and the sum of their
// offsets in it. A check asks the server for those two aggregates of every due window in one
// statement and compares; only a window whose figures changed (a late row, or a row deleted since)
// is read row by row. A stretch of whole windows without any row (a generator that jumped) is kept
// as one run. Windows are checked every cycle in their first 10 minutes, then every 10 minutes for
// a day, then hourly, and dropped after their check at seven days; the whole stays within 2 MB,
// the oldest windows going first.
//
// Pure bookkeeping: the replication cycle runs the queries. Times are seconds since 1970.
// Thread-safety: none.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "connections/local/store_queries.h"

namespace replication {

using localdb::SeqRange;

class PassedWatch {
 public:
  static constexpr std::int64_t kWindow = 1024;
  static constexpr std::size_t kMaxBytes = std::size_t{2} << 20;
  static constexpr std::int64_t kKeepFor = 7 * 24 * 3600;
  static constexpr std::int64_t kNewFor = 10 * 60;       // checked every cycle while this new
  static constexpr std::int64_t kRecentFor = 24 * 3600;  // then every 10 minutes while this recent
  static constexpr std::int64_t kRecentEvery = 10 * 60;
  static constexpr std::int64_t kOldEvery = 3600;        // then hourly

  struct Entry {
    std::int64_t base = 0;  // a window: its first value (a multiple of kWindow); a run: its first value
    std::int64_t from = 0, upto = 0;  // the values passed
    bool run = false;                 // every value from `from` to `upto` was missing
    std::array<std::uint64_t, kWindow / 64> missing{};  // a window: bit v - base set for a missing v
    std::int64_t rows = 0, sum = 0;  // what a check expects: rows in [from, upto], sum of (SEQUENCIAL - base)
    bool dirty = false;              // expectation unknown: the next check reads the rows
    std::int64_t passed_at = 0, checked_at = 0;
    bool operator==(const Entry&) const = default;

    bool Missing(std::int64_t v) const;
  };

  bool Empty() const { return entries_.empty(); }
  std::size_t Size() const { return entries_.size(); }
  const std::map<std::int64_t, Entry>& Entries() const { return entries_; }
  // What the watch takes in memory, as the bound counts it.
  std::size_t Bytes() const;
  // The values watched: ranges of missing values, ascending (for tests and lines).
  std::vector<SeqRange> MissingValues() const;
  bool operator==(const PassedWatch&) const = default;

  // The span [first, last] was passed; `missing` (ascending, within the span) had no row. A span
  // that continues where a window left off keeps its expectation exact; one that does not (the
  // index went back, or jumped) leaves the window to be read row by row at its next check.
  void AddPassed(std::int64_t first, std::int64_t last, const std::vector<SeqRange>& missing, std::int64_t now);
  // Drops the oldest entries until the watch is within kMaxBytes; returns the spans no longer
  // watched.
  std::vector<SeqRange> Trim();
  // Forgets every value above `v` (a database restored from an older backup: those values are now
  // another database's).
  void ForgetAbove(std::int64_t v);

  // ---- checking ----
  // The entries due for a check at `now`, by base.
  std::vector<std::int64_t> DueAt(std::int64_t now) const;
  const Entry& At(std::int64_t base) const { return entries_.at(base); }
  // The window's aggregates (rows in [from, upto], sum of their SEQUENCIAL - base) as a check found
  // them: true, and the window is checked, when they are what it expects.
  bool Confirm(std::int64_t base, std::int64_t rows, std::int64_t sum, std::int64_t now);
  // The window was read row by row: its late values (now holding rows, their products sent again)
  // are watched no more, and it expects what the read found from now on.
  void Resolve(std::int64_t base, const std::vector<std::int64_t>& late, std::int64_t rows, std::int64_t sum,
               std::int64_t now);
  // Entries checked at `now` that have been watched for kKeepFor are dropped.
  void DropExpired(std::int64_t now);
  // Entries a day past their time that no check could reach (the checks kept failing) are
  // dropped all the same; returns the spans no longer watched.
  std::vector<SeqRange> DropOverdue(std::int64_t now);

  // ---- the state file ----
  std::string Format() const;
  // Throws std::invalid_argument naming what is wrong.
  static PassedWatch Parse(const std::string& text);

 private:
  void AddRun(std::int64_t from, std::int64_t upto, std::int64_t now);
  void AddSegment(std::int64_t base, std::int64_t a, std::int64_t b, const std::vector<SeqRange>& missing,
                  std::size_t& mi, std::int64_t now);
  // Turns the window at `base`, inside a run, into a window entry of its own.
  Entry& SplitRun(std::int64_t base);

  std::map<std::int64_t, Entry> entries_;  // by base; never overlapping
};

// The first value of the window that holds `v`.
std::int64_t WindowOf(std::int64_t v);

}  // namespace replication
