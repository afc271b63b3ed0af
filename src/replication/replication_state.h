// What the replication cycle must remember across restarts of the service, in a small file next
// to the executable ("Tavrimondo_Estado.txt"):
//  - the initial-load mark: the highest SEQUENCIAL that an initial load wrote, while that load is
//    still waiting to reach the central server, so that a cycle that fails before the central
//    server stores a row never seeds the outgoing log a second time;
//  - a seeding check: rows that a seeding of the outgoing log (the initial load, or a refresh of
//    some products) wrote may carry a stock older than a change that another transaction
//    committed while it ran, with a lower SEQUENCIAL; once those transactions have ended, the
//    products they touched are sent once more (see seeding.h);
//  - the values of SEQUENCIAL that the central index passed while they had no row (passed_watch.h):
//    a row that appears at one of them later is behind the central index for good, so its
//    product's stock is sent again instead, for seven days after the value was passed; and, while
//    a cycle sends past gaps, the gaps it may pass, so that a crash before the cycle's end loses
//    none of them;
//  - the highest SEQUENCIAL a database restored from an older backup held when that was found: the
//    rows written after it, below the central index, are never read, so their products are sent
//    again once the generator passes the index;
//  - whether the central server has ever reported an index for the store, and when the agent last
//    seeded again because the index went back to nothing: an index that flips to "0" for a moment
//    must not reload the outgoing log.
//  - the stock audit: when audits are counted from (the start of the last one), whether one is
//    asked for (an initial load has reached the central server), and what the last one found.
// All of it belongs to one store code and one database; for any other it does not exist.
//
// The file is text, "key=value" lines in UTF-8, replaced in one step on every change so that a
// crash leaves the old or the new version, never a mix. Deleting it while the service is stopped
// is safe: the next cycle that finds the central server without an index seeds once more.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "connections/local/store_queries.h"
#include "replication/passed_watch.h"

namespace replication {

inline constexpr const char* kStateFileName = "Tavrimondo_Estado.txt";

// No list in the state file grows beyond this: a file written by something else, or a store gone
// wrong, must not make the statements built from it too long for the server.
inline constexpr std::size_t kMaxStateList = 1000;

using localdb::SeqRange;

// A seeding of the outgoing log still to be checked against transactions that ran beside it.
struct SeedingCheck {
  std::int64_t upto = 0;              // its highest SEQUENCIAL: rows above it came after it
  std::vector<std::int64_t> own;      // its own transactions, whose rows are the seeding itself
  std::int64_t from = 0;              // transactions numbered from here began after it looked
  std::vector<std::int64_t> open;     // transactions that were open when it looked
  std::int64_t horizon = 0;           // 0 until a look after it committed: all of them are below
  // Without RDB$RECORD_VERSION (Firebird 2.5): the values below the seeding's rows that were
  // missing when it ran; a row that appears at one of them later was written beside it.
  std::vector<SeqRange> ranges;
  bool operator==(const SeedingCheck&) const = default;

  // Two seedings checked as one: rows of either may be stale.
  void Merge(const SeedingCheck& other);
  // Keeps each list within kMaxStateList.
  void Cap();
};

struct ReplicationState {
  std::int32_t store = 0;
  std::string database;             // "server:path" as the connection reaches it
  std::int64_t load_mark = 0;       // 0: no initial load waiting
  // The marked row's product and stock as written: the same database reached under another name
  // ("localhost" for "127.0.0.1", other letter case) is known by it.
  std::string mark_product, mark_stock;
  std::optional<SeedingCheck> check;
  PassedWatch watch;                 // values passed without a row
  PassedWatch pending;               // gaps a cycle under way may pass (watched after a crash)
  // A restored older backup: the highest SEQUENCIAL the database held when that was found.
  std::optional<std::int64_t> restored_highest;
  bool had_index = false;            // the central server reported a non-zero index for the store
  std::int64_t last_reseed = 0;      // seconds since 1970 of the last seeding after a reset; 0: none
  // The stock audit. An audit is due once the audit hour has come since `audit_since` (seconds
  // since 1970: the start of the last audit, or when audits were first counted; 0: not yet).
  std::int64_t audit_since = 0;
  bool audit_requested = false;      // an initial load reached the central server: audit now
  struct LastAudit {
    std::int64_t start = 0;          // seconds since 1970
    std::int64_t duration_ms = 0, products = 0, differing = 0, relogged = 0;
    bool operator==(const LastAudit&) const = default;
  };
  std::optional<LastAudit> last_audit;  // the last audit that finished
  bool operator==(const ReplicationState&) const = default;

  bool Empty() const {
    return load_mark == 0 && !check && watch.Empty() && pending.Empty() && !restored_highest && !had_index &&
           last_reseed == 0 && audit_since == 0 && !audit_requested && !last_audit;
  }
};

// The file could not be read, or holds something this program did not write; what() says which.
class StateFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class StateFile {
 public:
  explicit StateFile(std::string path) : path_(std::move(path)) {}
  const std::string& Path() const { return path_; }

  // The state the file holds; an empty state when there is no file. Throws StateFileError.
  ReplicationState Read() const;
  // Replaces the file (an empty state removes it). Throws os::OsError.
  void Write(const ReplicationState& state) const;

  // The text Write() puts in the file, and its reading; exposed for tests.
  static std::string Format(const ReplicationState& state);
  static ReplicationState Parse(const std::string& text);

 private:
  std::string path_;
};

// The state file, in the agent's data folder (settings::StateDirectory).
std::string StateFilePath();

}  // namespace replication
