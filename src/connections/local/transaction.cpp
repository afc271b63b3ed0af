#include "connections/local/transaction.h"

#include <cstdint>

#include <string>

#include "connections/local/database_connection.h"

namespace localdb {

TFDTransaction::TFDTransaction(TFDConnection& connection, bool read_only)
    : connection_(connection), read_only_(read_only) {
  connection_.Register(this);
}

TFDTransaction::~TFDTransaction() { connection_.Unregister(this); }

void TFDTransaction::Start() {
  connection_.CheckConnected("Transaction");
  // Read committed with record versions: readers never wait for writers. No wait on lock
  // conflicts either: a conflict is reported at once instead of stalling a cycle.
  std::string tpb = {isc_tpb_version3, static_cast<char>(read_only_ ? isc_tpb_read : isc_tpb_write)};
  if (isolation == Isolation::kSnapshot) {
    tpb += static_cast<char>(isc_tpb_concurrency);
  } else {
    tpb += static_cast<char>(isc_tpb_read_committed);
    tpb += static_cast<char>(isc_tpb_rec_version);
  }
  if (lock_wait_seconds > 0) {
    tpb += static_cast<char>(isc_tpb_wait);
    tpb += static_cast<char>(isc_tpb_lock_timeout);
    tpb += static_cast<char>(4);
    const std::uint32_t t = static_cast<std::uint32_t>(lock_wait_seconds);
    for (int i = 0; i < 4; ++i) tpb += static_cast<char>((t >> (8 * i)) & 0xFF);
  } else {
    tpb += static_cast<char>(isc_tpb_nowait);
  }
  FbTeb teb{connection_.Handle(), static_cast<int>(tpb.size()), tpb.data()};
  ISC_STATUS_ARRAY st;
  if (connection_.Api().start_multiple(st, &handle_, 1, &teb)) {
    handle_ = 0;
    connection_.RaiseStatus(st);
  }
  failed_ = false;
  users_ = 0;
}

void TFDTransaction::Finish(bool commit) {
  if (!handle_) return;
  const FbApi& api = connection_.Api();
  ISC_STATUS_ARRAY st;
  bool failed = commit ? api.commit_transaction(st, &handle_) != 0 : api.rollback_transaction(st, &handle_) != 0;
  if (failed && commit) {
    // A transaction that cannot commit must not linger holding its work: undo it.
    ISC_STATUS_ARRAY ignored;
    api.rollback_transaction(ignored, &handle_);
  }
  // Whatever happened, this transaction is over; a handle the server no longer knows is useless.
  handle_ = 0;
  auto_started_ = false;
  users_ = 0;
  if (failed) connection_.RaiseStatus(st);
}

void TFDTransaction::StartTransaction() {
  if (Active()) throw EDatabaseError("The transaction is active already");
  Start();
  auto_started_ = false;
}

void TFDTransaction::Commit() { Finish(true); }
void TFDTransaction::Rollback() { Finish(false); }

isc_tr_handle* TFDTransaction::Acquire() {
  if (!Active()) {
    Start();
    auto_started_ = true;
  }
  ++users_;
  return &handle_;
}

void TFDTransaction::Release(bool success) {
  if (users_ > 0) --users_;
  if (!success) failed_ = true;
  if (users_ == 0 && auto_started_ && Active()) Finish(!failed_);
}

void TFDTransaction::CommitRetaining() {
  ISC_STATUS_ARRAY st;
  if (handle_ && connection_.Api().commit_retaining(st, &handle_)) connection_.RaiseStatus(st);
}

void TFDTransaction::EndAtDisconnect() {
  users_ = 0;
  try {
    Finish(true);
  } catch (const std::exception&) {
    // The commit failed and was rolled back, or the server is gone: nothing left to end.
  }
  handle_ = 0;
}

}  // namespace localdb
