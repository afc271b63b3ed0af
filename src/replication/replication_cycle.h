// The replication cycle: one tick of the service's timer sends the store's new outgoing stock rows
// to the central server, and the reconcile report writes every row the server rejected.
#pragma once

#include <mutex>

#include "connections/central/central_connection.h"
#include "connections/local/local_connection.h"
#include "replication/main_loop.h"

namespace replication {

inline constexpr int kBatchSize = 50;  // rows per apply

// What one cycle works on; all owned by the service object.
struct CycleParts {
  central::CentralConnection& Central;
  localdb::LocalConnection& Local;
  replication::TTimer& Timer1;
  // Serialises a cycle with the start and continue procedures, which open the same connections
  // on the service thread.
  std::recursive_mutex& ConnectionLock;
};

// One replication cycle, on the main thread. A failure of the main work (index, initial load,
// reading, sending) escapes after the closing sequence, for the event log; connection failures
// and a failed branch-row stamp are written to the activity log instead.
void Timer1Timer(CycleParts parts);

// The reconcile handler of the three client datasets: one activity-log line per rejected row.
void CDSIndiceReconcileError(central::TClientDataSet& DataSet, const central::EReconcileError& E,
                             central::TUpdateKind UpdateKind, central::TReconcileAction& Action);

}  // namespace replication
