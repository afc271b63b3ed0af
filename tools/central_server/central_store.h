// Where the stand-in central server keeps what the stores send: the stock log rows, and per store
// its branch row with the replication index. The providers use only this interface, so a store
// backed by a real database plugs in without touching them.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace central_server {

struct StockRow {
  std::int64_t sequencial = 0;  // SEQUENCIALLOJAORIGEM
  std::int32_t loja = 0;        // CODIGOLOJA
  std::string produto;          // CODIGOPRODUTO
  std::int64_t estoque = 0;     // ESTOQUEATUAL x 10000
};

struct BranchRow {
  std::int32_t codigo = 0;
  std::optional<std::int64_t> indice;        // RPL_INDICEESTOQUE
  std::int64_t datahora_ms = 0;              // DATAHORA, in the packets' ms (01/01/0001 is day 1)
  std::optional<std::int64_t> ultima_ms;     // RPL_ULTIMAATUALIZACAO
};

// A change the store refused; what() is the text the client is told.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class CentralStore {
 public:
  virtual ~CentralStore() = default;

  // The store's branch row, or nullopt when there is none.
  virtual std::optional<BranchRow> ReadBranch(std::int32_t loja) = 0;
  // Stores the rows in one transaction, all or none. A row already stored (same store and
  // sequence) is skipped, so a batch sent twice is stored once. Each store's index rises to the
  // highest sequence stored for it and never goes down. Throws StoreError when it stores nothing.
  virtual void InsertStockRows(const std::vector<StockRow>& rows) = 0;
  // Sets RPL_ULTIMAATUALIZACAO of the store's branch row; StoreError when there is no such row.
  virtual void StampBranch(std::int32_t loja, std::int64_t ultima_ms) = 0;
  // Every branch row, by store code (reports and tests).
  virtual std::vector<BranchRow> Branches() = 0;
  // Stock rows stored for the store, in sequence order (reports and tests).
  virtual std::vector<StockRow> StockRows(std::int32_t loja) = 0;
};

}  // namespace central_server
