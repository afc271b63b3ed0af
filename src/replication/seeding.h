// Seeding the outgoing log with the stock of products: the initial load, and the refresh of the
// products whose rows a seeding may have put out of date.
//
// A seeding reads each product's stock as committed at that moment and appends a row with it. A
// transaction that ran beside it may have changed a product's stock and written its own row with a
// lower SEQUENCIAL (values are taken at insert time, commits come in any order) and committed after
// the seeding read that product: the central server, which applies rows in SEQUENCIAL order, would
// then end with the seeding's older stock. Such rows are found afterwards by the transaction that
// wrote them (RDB$RECORD_VERSION): a row at or below the seeding's highest SEQUENCIAL, written by a
// transaction that was open when the seeding looked at the monitoring tables or began after that,
// and not by the seeding itself. Once all of those transactions have ended, the products of such
// rows get one more row each with their stock as it is then. That refresh is itself a seeding and
// is checked the same way; it writes nothing once no transaction ran beside the last one.
//
// Every seeding runs in a transaction of its own, and what it wrote is measured inside it, before
// the commit, so that the caller can make the mark and the check durable before the rows exist.
#pragma once

#include <cstdint>
#include <functional>

#include "connections/local/local_connection.h"
#include "replication/replication_state.h"
#include "replication/sequence_gaps.h"

namespace replication {

// What a seeding wrote.
struct SeedingResult {
  std::int64_t rows = 0;         // rows appended to the outgoing log
  std::int64_t upto = 0;         // their highest SEQUENCIAL (0 when none)
  std::int64_t transaction = 0;  // the seeding's own transaction
};

// One look at the monitoring tables (TBTransacoesAtivas). A user who may not read them gets an
// incomplete snapshot instead of an error; any other failure raises.
MonitorSnapshot LookAtOpenTransactions(localdb::LocalConnection& L);

// Runs before the seeding commits; what it throws rolls the seeding back.
using BeforeCommit = std::function<void(const SeedingResult&)>;

// The initial load (TBCargaInicial).
SeedingResult RunInitialLoad(localdb::LocalConnection& L, const BeforeCommit& before_commit);

// The refresh of the products that rows written beside `check`'s seedings name.
SeedingResult RefreshProducts(localdb::LocalConnection& L, const SeedingCheck& check, const BeforeCommit& before_commit);

// The check for a seeding that looked at the monitoring tables (`look`, taken before it began;
// null when no look was possible) and wrote `result`.
SeedingCheck CheckFor(const SeedingResult& result, const MonitorSnapshot* look);

}  // namespace replication
