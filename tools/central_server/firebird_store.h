// The central database on a Firebird server: tables FILIAIS (one branch row per store, with the
// replication index) and LOGESTOQUEREC (the stock rows the stores sent). create-central-db.sh
// creates such a database.
//
// Thread-safety: every call takes the store's lock; the server's connection threads share it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "central_store.h"
#include "connections/local/local_database.h"

namespace central_server {

class FirebirdStore : public CentralStore {
 public:
  // The database file `path` on the Firebird server `server`, always over TCP/IP. Connects at
  // once; throws localdb::EDatabaseError when it cannot.
  FirebirdStore(const std::string& server, const std::string& path, const std::string& user,
                const std::string& password, const std::string& client_library = "");
  ~FirebirdStore() override;

  // Creates the store's branch row (null index) unless it exists.
  void AddBranch(std::int32_t loja);

  std::optional<BranchRow> ReadBranch(std::int32_t loja) override;
  void InsertStockRows(const std::vector<StockRow>& rows) override;
  void StampBranch(std::int32_t loja, std::int64_t ultima_ms) override;
  std::vector<BranchRow> Branches() override;
  std::vector<StockRow> StockRows(std::int32_t loja) override;

 private:
  std::optional<BranchRow> ReadBranchLocked(std::int32_t loja);
  void DropConnection();
  // Runs a read on the connection; a failure drops the connection so the next use attaches anew.
  template <class F>
  auto Reading(F&& work);
  // Runs `work` in the write transaction: committed when it returns, rolled back when it throws
  // (as StoreError, with the server's message).
  template <class F>
  void Write(F&& work);

  std::mutex mu_;
  localdb::TFDPhysFBDriverLink link_;
  std::unique_ptr<localdb::TFDConnection> conn_;
  std::unique_ptr<localdb::TFDTransaction> read_, write_;
  std::unique_ptr<localdb::TFDQuery> branch_, branches_, rows_, insert_row_, raise_index_, stamp_, add_branch_;
  std::unique_ptr<localdb::TFDQuery> arrival_;  // when the database records arrivals
};

}  // namespace central_server
