#include "memory_store.h"

namespace central_server {

MemoryStore::MemoryStore(Clock clock) : clock_(std::move(clock)) {}

void MemoryStore::AddBranch(std::int32_t loja) {
  std::lock_guard lock(mu_);
  auto& b = branches_[loja];
  b.codigo = loja;
  b.datahora_ms = clock_();
}

std::optional<BranchRow> MemoryStore::ReadBranch(std::int32_t loja) {
  std::lock_guard lock(mu_);
  auto it = branches_.find(loja);
  if (it == branches_.end()) return std::nullopt;
  return it->second;
}

void MemoryStore::InsertStockRows(const std::vector<StockRow>& rows) {
  std::lock_guard lock(mu_);
  // Nothing can fail below, so the whole batch lands or (before this point) none of it.
  for (const StockRow& r : rows) {
    rows_.try_emplace({r.loja, r.sequencial}, r);
    auto& b = branches_[r.loja];
    b.codigo = r.loja;
    if (!b.indice || *b.indice < r.sequencial) b.indice = r.sequencial;
    b.datahora_ms = clock_();
  }
}

void MemoryStore::StampBranch(std::int32_t loja, std::int64_t ultima_ms) {
  std::lock_guard lock(mu_);
  auto it = branches_.find(loja);
  if (it == branches_.end()) throw StoreError("Branch " + std::to_string(loja) + " not found");
  it->second.ultima_ms = ultima_ms;
}

std::vector<BranchRow> MemoryStore::Branches() {
  std::lock_guard lock(mu_);
  std::vector<BranchRow> out;
  for (const auto& [k, b] : branches_) out.push_back(b);
  return out;
}

std::vector<StockRow> MemoryStore::StockRows(std::int32_t loja) {
  std::lock_guard lock(mu_);
  std::vector<StockRow> out;
  for (auto it = rows_.lower_bound({loja, INT64_MIN}); it != rows_.end() && it->first.first == loja; ++it)
    out.push_back(it->second);
  return out;
}

}  // namespace central_server
