// An in-process CentralStore for tests: nothing survives the process.
#pragma once

#include <functional>
#include <map>
#include <mutex>

#include "central_store.h"

namespace central_server {

class MemoryStore : public CentralStore {
 public:
  using Clock = std::function<std::int64_t()>;  // the packets' time-stamp ms (see NowTimeStampMs)
  explicit MemoryStore(Clock clock);

  // Creates a branch row with a null index.
  void AddBranch(std::int32_t loja);

  std::optional<BranchRow> ReadBranch(std::int32_t loja) override;
  void InsertStockRows(const std::vector<StockRow>& rows) override;
  void StampBranch(std::int32_t loja, std::int64_t ultima_ms) override;
  std::vector<BranchRow> Branches() override;
  std::vector<StockRow> StockRows(std::int32_t loja) override;

 private:
  Clock clock_;
  std::mutex mu_;
  std::map<std::int32_t, BranchRow> branches_;
  std::map<std::pair<std::int32_t, std::int64_t>, StockRow> rows_;
};

}  // namespace central_server
