// Gaps in SEQUENCIAL, and whether the outgoing log may be sent past them.
//
// SEQUENCIAL values are taken when a row is inserted, but transactions commit in any order: a
// value missing between two rows may belong to a transaction that is still running and will
// commit it later. The central server's index only ever rises to the highest row it stored, so
// sending the rows above such a gap would skip its row for ever. A gap is passed only once it is
// settled: every read-write transaction that was open when it was first seen has ended, so the
// value was rolled back or its row deleted.
//
// How that is known safely. A gap is seen while reading the outgoing log; whoever took its value
// took it before the row above it, which was visible then, so that transaction was open before the
// gap was seen. A look at the monitoring tables taken after that gives a bound: every such
// transaction has a number below the look's next transaction number (the gap's horizon). A later
// look that shows no open read-write transaction below the horizon proves them all ended; and a
// read that begins after that look sees the row of any of them that committed. So the cycle takes
// its look before it opens the read, and passes only gaps settled by that look. A gap first seen in
// a read is therefore held until the next cycle; the read goes on past it (without sending) to find
// the gaps further on, so that one later cycle settles them all.
//
// When this user cannot see every attachment in the monitoring tables, a gap is instead held for a
// fixed grace period: it is passed in the second cycle after the one that first saw it.
//
// Thread-safety: none; used by the replication cycle on one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace replication {

// A read-write transaction of another attachment, open when the monitoring tables were read.
struct OpenTransaction {
  std::int64_t id = 0;
  std::string user, address, program;
};

// One look at the monitoring tables.
struct MonitorSnapshot {
  std::int64_t next_transaction = 0;
  bool complete = true;  // false: this user sees only its own attachments
  std::vector<OpenTransaction> open;

  // The open transactions numbered below `horizon`.
  std::vector<OpenTransaction> OpenBelow(std::int64_t horizon) const;
};

// Who holds something back, for a log line: "transação 81 (usuário SYSDBA, endereço
// 10.0.0.5/51234, programa C:\ERP\erp.exe); transação 90 (...)".
std::string DescribeHolders(const std::vector<OpenTransaction>& holders);

class GapTracker {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kReportAfter = std::chrono::minutes(10);
  static constexpr int kGraceCycles = 2;  // without a complete view of the open transactions

  // A new cycle: gaps at or below the index are behind the central server and forgotten.
  void BeginCycle(std::int64_t index);

  // Whether this cycle needs a look at the monitoring tables: some gap waits to be settled.
  bool NeedsSnapshot() const;
  // This cycle's look, taken before the read began. Gaps without a horizon get its next
  // transaction number; every gap it proves settled is marked so.
  void Settle(const MonitorSnapshot& snapshot);

  enum class Verdict {
    kPass,  // settled: the read may go past it and send the rows above
    kHeld,  // seen before and not settled yet
    kNew,   // (partly) not seen before: remembered, and held until a later look settles it
  };
  // A gap [first, last] found by this cycle's read, in ascending order.
  Verdict Judge(std::int64_t first, std::int64_t last);

  // Lines for the activity log about gaps held longer than kReportAfter: one per gap, once,
  // naming what holds it. Call after Settle().
  std::vector<std::string> LongHeld(Clock::time_point now);

  std::size_t Size() const { return gaps_.size(); }

 private:
  struct Gap {
    std::int64_t first = 0, last = 0;
    std::int64_t horizon = 0;  // 0 until a look after it was first seen
    Clock::time_point seen_at{};
    std::int64_t seen_in_cycle = 0;
    bool settled = false;
    bool reported = false;
    std::vector<OpenTransaction> holders;  // as of the last look
  };

  std::vector<Gap> gaps_;  // ascending, not overlapping
  std::int64_t cycle_ = 0;
};

}  // namespace replication
