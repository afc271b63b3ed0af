// Gaps in SEQUENCIAL, and whether the outgoing log may be sent past them.
//
// SEQUENCIAL values are taken when a row is inserted, but transactions commit in any order: a
// value missing between two rows may belong to a transaction that is still running and will
// commit it later. The central server's index only ever rises to the highest row it stored, so
// sending the rows above such a gap would skip its row for ever.
//
// Who can still fill a gap. Its values were drawn before the row above it, which a read saw
// committed; a value is normally drawn inside the insert that writes its row (an identity column or
// a BEFORE INSERT trigger). So only a transaction that was already open when the gap was read can
// hold it, and only if, at a later look at the monitoring tables, it is running a statement right
// now (an insert in progress) or has inserted into the outgoing log. On Firebird 2.5, which counts
// inserts per transaction but not per table, an insert into any table counts.
//
// How long each holds it. A gap held by a running statement waits for it, for at most 30 minutes
// (the valve), with a line after 10. An idle transaction holds a gap only if it has inserted since
// the look before (its insert count rose), and then for at most two cycles: many ERP programs
// commit with COMMIT RETAIN, which keeps the transaction going under a new number with its
// counters, so a till that logged one sale looks like a writer for the rest of the day, and no
// monitoring table tells whether what it inserted is committed. Passing early is
// safe because every passed value is watched (passed_watch.h): a row that appears there late was
// not committed when the central server got the rows above it, so its stock was the committed
// stock all along, and its product's current stock is sent again when it appears.
//
// The order that makes this safe, at most once per cycle: the gaps are found by a read (the
// server lists them, up to 100,000 rows ahead); then one look gives the transactions open at that
// moment (every transaction numbered from the look's horizon began after the read); then the rows
// are read again, and a gap is passed only where that later read finds its values still missing
// and the look found nothing that holds it. A row committed between the first read and the look
// is thus sent, not skipped.
//
// Without a full view of the monitoring tables (a user who sees only its own attachments), a gap
// is passed in the second cycle after the one that first saw it.
//
// Thread-safety: none; used by the replication cycle on one thread.
#pragma once

#include <chrono>
#include <map>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/messages.h"

#include "connections/local/store_queries.h"

namespace replication {

using localdb::SeqRange;

// A read-write transaction of another attachment, open when the monitoring tables were read.
struct OpenTransaction {
  std::int64_t id = 0;
  std::string user, address, program;
  bool writer = true;  // it has inserted (into the outgoing log on 3.0 and later) or runs a statement
  bool running = false;  // one of its statements runs right now
  // The transaction across COMMIT RETAIN, which gives it a new number but keeps its attachment,
  // its start time and its counters; and how many rows it has inserted so far.
  std::int64_t attachment = 0;
  std::string started;
  std::int64_t inserts = 0;
};

// One look at the monitoring tables.
struct MonitorSnapshot {
  std::int64_t horizon = 0;  // transactions numbered from here began after the look began
  bool complete = true;      // false: this user sees only its own attachments
  std::vector<OpenTransaction> open;

  // The possible writers among the open transactions numbered below `horizon`.
  std::vector<OpenTransaction> WritersBelow(std::int64_t horizon) const;
};

// Who holds something back, for a log line: "transação 81 (usuário SYSDBA, endereço
// 10.0.0.5/51234, programa C:\ERP\erp.exe); transação 90 (...)".
std::string DescribeHolders(const std::vector<OpenTransaction>& holders);
// Values for a log line: "4711", "8 a 9", "8 a 9, 12 e mais 40 lacuna(s)".
std::string DescribeValues(const std::vector<SeqRange>& values, std::size_t at_most = 10);
// A limit as the log lines word it: "10 minutos", "2 segundos".
std::string DescribeLimit(std::chrono::steady_clock::duration d);

class GapTracker {
 public:
  using Clock = std::chrono::steady_clock;
  // Cycles a gap waits without a complete view of the open transactions, or for transactions
  // that have inserted but run nothing.
  static constexpr int kGraceCycles = 2;

  struct Limits {
    Clock::duration report_after = std::chrono::minutes(10);  // one line naming the holders
    Clock::duration pass_after = std::chrono::minutes(30);    // passed all the same, then watched
  };
  Limits limits;

  // A new cycle on `database`: gaps of another database, and gaps at or below the index (behind
  // the central server), are forgotten.
  void BeginCycle(const std::string& database, std::int64_t index);

  // Gaps found by this cycle's read of the values from `span_first` to `span_last`, before its
  // look, ascending. Within that span the known gaps become exactly these: values filled since are
  // forgotten, what was known of the rest is kept, and new values are remembered as seen now.
  void Learn(const std::vector<SeqRange>& found, std::int64_t span_first, std::int64_t span_last,
             Clock::time_point now);

  // What a look passed without proof.
  struct Passed {
    std::vector<SeqRange> after_limit;           // held longer than limits.pass_after
    std::vector<OpenTransaction> holders;        // what held them
    std::vector<SeqRange> without_view;          // passed by the grace period
    std::vector<SeqRange> idle;                  // held only by idle transactions, for the grace period
  };
  // This cycle's look, taken after Learn(): every gap not settled before is judged by it.
  Passed Settle(const MonitorSnapshot& snapshot, Clock::time_point now);
  bool Looked() const { return looked_; }

  enum class Verdict {
    kPass,  // settled, or passed: the read may go past it
    kLook,  // (partly) unknown or held, and this cycle has not looked yet
    kHeld,  // held by this cycle's look, or unknown to it
  };
  // A read (re)starts above `from`: Judge() calls follow in ascending order from there.
  void Rewind(std::int64_t from);
  // A gap [first, last] met by the read. Costs O(log n) after a Rewind, O(1) amortised after.
  Verdict Judge(std::int64_t first, std::int64_t last);

  // Lines for the activity log about gaps held longer than limits.report_after: once per gap,
  // one line per set of holders. Call after Settle().
  std::vector<messages::Text> LongHeld(Clock::time_point now);

  // The lowest gap held by the last look, for the cycle record.
  struct HeldSummary {
    SeqRange first;
    std::size_t gaps = 0;  // gaps held in all
    Clock::time_point since{};
    std::vector<OpenTransaction> holders;
  };
  std::optional<HeldSummary> Held() const;

  // The gaps above `above` that a read may pass now (settled or passed), ascending.
  std::vector<SeqRange> Passable(std::int64_t above) const;

  std::size_t Size() const { return gaps_.size(); }

 private:
  enum class State : unsigned char { kUnjudged, kHeld, kSettled, kPassed };
  struct Gap {
    std::int64_t first = 0, last = 0;
    std::int64_t horizon = 0;  // 0 until the first look after it was seen
    Clock::time_point seen_at{};
    std::int64_t seen_in_cycle = 0;
    State state = State::kUnjudged;
    bool reported = false;
    int holders = -1;  // index into holder_sets_ while held with holders known
  };

  std::vector<Gap> gaps_;  // ascending, not overlapping
  std::vector<std::vector<OpenTransaction>> holder_sets_;  // of the last look, one per horizon
  // Insert counts of the transactions at the look before, by attachment and start.
  std::map<std::pair<std::int64_t, std::string>, std::int64_t> inserts_before_;
  bool looked_before_ = false;
  std::string database_;
  std::int64_t cycle_ = 0;
  bool looked_ = false;
  std::size_t pos_ = 0;  // where the read is
};

}  // namespace replication
