// A transaction of one connection, read committed unless told otherwise, started on demand by its
// statements and ended when the last of them is done.
//
// Thread-safety: none; see local_database.h.
#pragma once

#include "connections/local/fb_client.h"

namespace localdb {

class TFDConnection;

// A transaction of one connection.
class TFDTransaction {
 public:
  enum class Isolation {
    kReadCommitted,  // each statement sees what is committed when it reads
    kSnapshot,       // every statement sees what was committed when the transaction began
  };

  TFDTransaction(TFDConnection& connection, bool read_only);
  ~TFDTransaction();
  TFDTransaction(const TFDTransaction&) = delete;
  TFDTransaction& operator=(const TFDTransaction&) = delete;

  bool ReadOnly() const { return read_only_; }
  // Read when the transaction starts.
  Isolation isolation = Isolation::kReadCommitted;
  // Seconds a statement waits for a row another transaction has locked; 0 reports the conflict
  // at once, as the agent's own transactions always do (the store's other programs may wait).
  int lock_wait_seconds = 0;
  bool Active() const { return handle_ != 0; }
  TFDConnection& Connection() { return connection_; }

  // Explicit control; a transaction started here is not ended by its statements.
  void StartTransaction();
  void Commit();
  void Rollback();

  // ---- used by statements --------------------------------------------------------------
  // A statement begins to use the transaction; starts it when none is active.
  isc_tr_handle* Acquire();
  // The statement is done. When no statement uses a transaction that was started on demand, it
  // is committed, or rolled back when any of its statements failed.
  void Release(bool success);
  // Makes the work done so far permanent while statements still hold cursors in it.
  void CommitRetaining();
  // Started on demand and used by more than one statement right now.
  bool SharedOnDemand() const { return auto_started_ && users_ > 1; }
  isc_tr_handle* Handle() { return &handle_; }

  // Ends the transaction at disconnect: commit, or roll back when the commit fails. Never throws.
  void EndAtDisconnect();

 private:
  void Start();
  void Finish(bool commit);

  TFDConnection& connection_;
  bool read_only_;
  isc_tr_handle handle_ = 0;
  bool auto_started_ = false;
  bool failed_ = false;
  int users_ = 0;
};

}  // namespace localdb
