// The replication cycle: one tick of the service's timer sends the store's new outgoing stock rows
// to the central server, and the reconcile report writes every row the server rejected.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "connections/central/central_connection.h"
#include "connections/local/local_connection.h"
#include "replication/main_loop.h"
#include "replication/replication_state.h"
#include "replication/sequence_gaps.h"
#include "replication/stock_audit.h"

namespace replication {

inline constexpr int kBatchSize = 50;  // rows per apply
// Cycles in a row that must report an index of "" or "0" before a store that had a real one is
// seeded again, and the least time between two such seedings.
inline constexpr int kResetCycles = 3;
inline constexpr std::chrono::hours kReseedInterval{24};
// Late rows named one per line in a cycle; more are counted in one line.
inline constexpr std::size_t kLateLinesPerCycle = 20;
// Differing products an audit names one per line; the rest are counted in its summary line.
inline constexpr std::size_t kAuditLines = 20;
// Products logged again in one transaction by an audit's repair.
inline constexpr std::size_t kAuditRelogChunk = 500;

// How a cycle ended.
enum class CycleOutcome {
  kIdle,          // nothing to send (an initial load that found no stock included)
  kSent,          // rows sent and all of them accepted
  kFailed,        // a connection, a rejected row or an error ended it
  kStoppedEarly,  // a stop, shutdown or continue ended it at a batch boundary
};
const char* OutcomeName(CycleOutcome o);  // "idle", "sent", "failed", "stopped early"

// The last stock audit, for the record a technician reads.
struct AuditSummary {
  std::chrono::system_clock::time_point start{}, end{};
  std::int64_t products = 0;   // products read
  std::int64_t differing = 0;  // products whose stock the central server did not have
  std::int64_t relogged = 0;   // rows written to send them again
  std::string error;           // why it did not finish; empty when it did
};

// What one cycle did, for the record a technician reads.
struct CycleReport {
  std::chrono::system_clock::time_point start{}, end{};
  CycleOutcome outcome = CycleOutcome::kIdle;
  std::int64_t rows_read = 0;      // outgoing rows read and posted
  std::int64_t rows_accepted = 0;  // rows the central server stored
  std::int64_t rows_rejected = 0;  // rows of rejected applies (each apply counted)
  std::string index_before;        // the index the central server reported ("" before it answered)
  std::string index_after;         // the index once the accepted rows count: their highest SEQUENCIAL
  std::string error;               // the failure's message, or the first rejection's text

  // Rows held back behind a gap in SEQUENCIAL that an open transaction may still fill.
  struct Held {
    std::int64_t first = 0, last = 0;  // the lowest gap held
    std::int64_t gaps = 0;             // gaps held in all
    std::int64_t rows = -1;            // rows waiting above it; -1 when they could not be counted
    std::chrono::system_clock::time_point since{};
    std::string holders;               // the transactions that hold it, as the activity log names them
  };
  std::optional<Held> held;

  // The last stock audit this process knows of (this cycle's or an earlier one), if any.
  std::optional<AuditSummary> last_audit;
};

// What the cycle carries from one cycle to the next; owned by the service object.
struct ReplicationMemory {
  GapTracker gaps;
  // The state file's content for the store and database in use, as last read or written (kept
  // here also when the file cannot be written). Read from the file once per process.
  bool state_read = false;
  ReplicationState state;
  bool state_trouble_logged = false;  // a state file that could not be read or written, said once
  bool monitor_warned = false;        // no full view of the monitoring tables, said once
  std::int64_t cycles = 0;
  std::int64_t check_cycle = 0;  // the cycle that last made or refreshed the seeding check
  int check_failures = 0;        // cycles in a row whose seeding check failed
  // An index of "" or "0" after the store had a real one: the texts seen in the cycles in a row
  // that reported it, and the last real index.
  std::vector<std::string> reset_seen;
  std::string last_real_index;
  // What keeps rows from being sent (by kind), with its text and when that was last written to
  // the log; a kind that a cycle no longer meets is forgotten.
  struct Problem {
    std::string text;
    std::chrono::steady_clock::time_point logged{};
  };
  std::map<std::string, Problem> problems;
  // The wall clock, in seconds since 1970, for what is kept across restarts (the watch of passed
  // values); tests and benchmarks set it to move time on. Empty: the system clock.
  std::function<std::int64_t()> clock;
  std::int64_t Now() const;
  // The stock audit: how it paces its reading (tests shorten it), when one that failed may be
  // tried again (seconds since 1970), an AuditoriaHora value already said to be wrong, and the
  // last audit for the record.
  AuditPacing audit_pacing;
  std::int64_t audit_retry_at = 0;
  std::optional<std::string> audit_hour_warned;
  std::optional<AuditSummary> last_audit;
};

// What one cycle works on; all owned by the service object.
struct CycleParts {
  central::CentralConnection& Central;
  localdb::LocalConnection& Local;
  replication::TTimer& Timer1;
  // Serialises a cycle with the start and continue procedures, which open the same connections
  // on the service thread.
  std::recursive_timed_mutex& ConnectionLock;
  ReplicationMemory& Memory;
  // True when a stop, shutdown or continue is waiting: the cycle then ends at the next boundary
  // between two applies. May be empty.
  std::function<bool()> ShouldYield;
  // Filled in as the cycle goes, also when it fails; may be null.
  CycleReport* Report = nullptr;
};

// The index text as a whole number: blanks around it ignored, "" as 0; nothing when it is not a
// plain integer (a decimal point, an exponent, letters) or does not fit 64 bits. Such an index is
// refused: the database would compare it in its own way, and what the agent reasons from it (gaps,
// the watch, restored backups) would not be what is selected.
std::optional<std::int64_t> IndexValue(const std::string& text);

// One replication cycle, on the main thread. A failure of the main work (index, initial load,
// reading, sending) escapes after the closing sequence, for the event log; connection failures,
// a failed branch-row stamp and whatever keeps rows from being sent (a row the central server
// cannot take, a store without a code) are written to the activity log instead.
void Timer1Timer(CycleParts parts);

// The reconcile handler of the three client datasets: one activity-log line per rejected row.
void CDSIndiceReconcileError(central::TClientDataSet& DataSet, const central::EReconcileError& E,
                             central::TUpdateKind UpdateKind, central::TReconcileAction& Action);

}  // namespace replication
