// Seeding the outgoing log with the stock of products: the initial load, and the refresh of the
// products whose rows a seeding may have put out of date.
//
// A seeding reads each product's stock as committed at that moment and appends a row with it. A
// transaction that ran beside it may have changed a product's stock and written its own row with a
// lower SEQUENCIAL (values are taken at insert time, commits come in any order) and committed after
// the seeding read that product: the central server, which applies rows in SEQUENCIAL order, would
// then end with the seeding's older stock. Once no transaction that may still write such a row is
// open (sequence_gaps.h says who may), the products of those rows get one more row each with their
// stock as it is then. That refresh is itself a seeding and is checked the same way; it writes
// nothing once no transaction ran beside the last one.
//
// How those rows are found depends on the server. Firebird 3 and later tell which transaction wrote
// a row (RDB$RECORD_VERSION): a row at or below the seeding's highest SEQUENCIAL, written by a
// transaction that was open when the seeding looked at the monitoring tables or began after that,
// and not by the seeding itself. Firebird 2.5 does not; there the seeding runs in a snapshot
// transaction and notes the values missing up to its highest row as it saw them (another
// transaction may draw values between the seeding's own), and a row that appears at one of those
// values afterwards was written beside it.
//
// The check is made once the central index has passed the seeding's rows: a row written beside it
// that commits after that lands at a value the index passed while it was missing, and the watch of
// passed values (passed_watch.h) sends its product again when it appears.
//
// Every seeding runs in a transaction of its own, and what it wrote is measured inside it, before
// the commit, so that the caller can make the mark and the check durable before the rows exist.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "connections/local/local_connection.h"
#include "replication/replication_state.h"
#include "replication/sequence_gaps.h"

namespace replication {

// What a seeding wrote.
struct SeedingResult {
  std::int64_t rows = 0;         // rows appended to the outgoing log
  std::int64_t upto = 0;         // their highest SEQUENCIAL (0 when none)
  std::int64_t transaction = 0;  // the seeding's own transaction
  // Without RDB$RECORD_VERSION: the values missing up to its highest row (between its own rows too),
  // above the central index, as it saw them (the highest kMaxStateList ranges).
  std::vector<SeqRange> missing_below;
  bool by_values = false;        // found its rows by value (Firebird 2.5), not by transaction
};

// One look at the monitoring tables (TBTransacoesAtivas). A user who may not read them gets an
// incomplete snapshot instead of an error; any other failure raises.
MonitorSnapshot LookAtOpenTransactions(localdb::LocalConnection& L);

// Runs before the seeding commits; what it throws rolls the seeding back.
using BeforeCommit = std::function<void(const SeedingResult&)>;

// The initial load (TBCargaInicial). `index`: the central index, below which nothing matters.
SeedingResult RunInitialLoad(localdb::LocalConnection& L, std::int64_t index, const BeforeCommit& before_commit);

// The products that rows written beside `check`'s seedings name, as they are now.
std::vector<std::string> ProductsChangedBeside(localdb::LocalConnection& L, const SeedingCheck& check);

// One new row per product with its stock as it is now (a refresh, itself a seeding). `after`: a
// SEQUENCIAL that every row written now comes after (its rows are looked for above it).
SeedingResult RefreshProducts(localdb::LocalConnection& L, const std::vector<std::string>& products, std::int64_t index,
                              std::int64_t after, const BeforeCommit& before_commit);

// The check for a seeding that looked at the monitoring tables (`look`, taken before it began;
// null when no look was possible) and wrote `result`; nothing when no row can have been written
// beside it.
std::optional<SeedingCheck> CheckFor(const SeedingResult& result, const MonitorSnapshot* look);

}  // namespace replication
