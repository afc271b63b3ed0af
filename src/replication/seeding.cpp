#include "replication/seeding.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "common/text.h"

namespace replication {

namespace {

// Firebird's "no permission for ... access to ..." error.
constexpr std::int64_t kNoPermission = 335544352;

// Closes a query when the scope ends, also on the way out of an exception.
struct Closing {
  localdb::TFDQuery& q;
  ~Closing() { q.Close(); }
};

// A text the monitoring tables hold as raw bytes (cast to OCTETS), which are UTF-8.
std::string FromOctets(std::string bytes) {
  while (!bytes.empty() && (bytes.back() == ' ' || bytes.back() == '\0')) bytes.pop_back();
  return text::SanitizeUtf8(bytes);
}

std::string List(const std::vector<std::int64_t>& v) {
  std::string out;
  for (std::int64_t x : v) out += (out.empty() ? "" : ", ") + std::to_string(x);
  return out;
}

// The values missing at or below `upto` and above `index` as `tx` sees them, the highest
// kMaxStateList ranges of them: the server is asked for a window below `upto` that widens until it
// holds that many or reaches the index. A value between the seeding's own rows counts: another
// transaction drew it while the seeding wrote.
std::vector<SeqRange> MissingUpTo(localdb::LocalConnection& L, localdb::TFDTransaction& tx, std::int64_t index,
                                  std::int64_t upto) {
  const std::int64_t before = upto == INT64_MAX ? INT64_MAX : upto + 1;
  std::int64_t window = 4096;
  for (;;) {
    const std::int64_t from = window < before - 1 - index ? before - 1 - window : index;
    localdb::GapScan scan = localdb::ListGaps(L, tx, from, before, INT64_MAX);
    if (scan.gaps.size() > kMaxStateList || from == index) {
      if (scan.gaps.size() > kMaxStateList)
        scan.gaps.erase(scan.gaps.begin(), scan.gaps.end() - static_cast<std::ptrdiff_t>(kMaxStateList));
      return scan.gaps;
    }
    window = window > INT64_MAX / 8 ? INT64_MAX : window * 8;
  }
}

// Runs `work` in a transaction of its own on TransEscrita and measures what it appended above
// `after`; `before_commit` sees that before the commit. Without RDB$RECORD_VERSION the transaction
// is a snapshot, whose own rows are those above the highest it saw before writing.
template <class Work>
SeedingResult Seed(localdb::LocalConnection& L, std::int64_t after, std::int64_t index, Work&& work,
                   const BeforeCommit& before_commit) {
  localdb::TFDTransaction& tx = L.TransEscrita;
  const bool by_values = !localdb::Capabilities(L).record_version;
  struct Isolation {
    localdb::TFDTransaction& tx;
    ~Isolation() { tx.isolation = localdb::TFDTransaction::Isolation::kReadCommitted; }
  } restore{tx};
  if (by_values) tx.isolation = localdb::TFDTransaction::Isolation::kSnapshot;
  tx.StartTransaction();
  try {
    if (by_values) {
      Closing closing{L.TBMaiorSequencial};
      L.TBMaiorSequencial.Open();
      after = std::max(after, L.TBMaiorSequencial.FieldByName("MAIOR").AsLargeInt());
    }
    work();
    SeedingResult r;
    r.by_values = by_values;
    localdb::TFDQuery& summary = by_values ? L.TBResumoCargaInstantaneo : L.TBResumoCarga;
    {
      Closing closing{summary};
      summary.ParamByName("APOS").SetAsLargeInt(after);
      summary.Open();
      r.rows = summary.FieldByName("GRAVADOS").AsLargeInt();
      r.upto = summary.FieldByName("ULTIMO").AsLargeInt();
      r.transaction = summary.FieldByName("TRANSACAO").AsLargeInt();
    }
    if (by_values && r.rows > 0) r.missing_below = MissingUpTo(L, tx, index, r.upto);
    if (before_commit) before_commit(r);
    tx.Commit();
    return r;
  } catch (...) {
    try {
      tx.Rollback();
    } catch (const std::exception&) {
      // The failure that got here is the one worth reporting.
    }
    throw;
  }
}

}  // namespace

MonitorSnapshot LookAtOpenTransactions(localdb::LocalConnection& L) {
  MonitorSnapshot s;
  localdb::TFDQuery& q = localdb::Capabilities(L).table_stats ? L.TBTransacoesAtivas : L.TBTransacoesAtivas25;
  try {
    Closing closing{q};
    q.Open();
    for (; !q.Eof(); q.Next()) {
      s.horizon = q.FieldByName("PROXIMA").AsLargeInt();
      s.complete = q.FieldByName("COMPLETO").AsInteger() != 0;
      if (q.FieldByName("TRANSACAO").IsNull()) continue;
      OpenTransaction t;
      t.id = q.FieldByName("TRANSACAO").AsLargeInt();
      t.user = FromOctets(q.FieldByName("USUARIO").AsBytes());
      t.address = FromOctets(q.FieldByName("ENDERECO").AsBytes());
      t.program = FromOctets(q.FieldByName("PROGRAMA").AsBytes());
      t.running = q.FieldByName("EXECUTANDO").AsInteger() != 0;
      t.inserts = q.FieldByName("INSERIU").AsLargeInt();
      t.attachment = q.FieldByName("ANEXO").AsLargeInt();
      t.started = q.FieldByName("INICIO").AsString();
      t.writer = t.running || t.inserts > 0;
      s.open.push_back(std::move(t));
    }
  } catch (const localdb::EFirebirdError& e) {
    if (!e.HasCode(kNoPermission)) throw;
    return MonitorSnapshot{0, false, {}};
  }
  if (!s.complete) s.open.clear();  // only this user's own: no basis for a judgement
  return s;
}

SeedingResult RunInitialLoad(localdb::LocalConnection& L, std::int64_t index, const BeforeCommit& before_commit) {
  return Seed(L, 0, index, [&] { L.TBCargaInicial.ExecSQL(); }, before_commit);
}

std::vector<std::string> ProductsChangedBeside(localdb::LocalConnection& L, const SeedingCheck& check) {
  std::vector<std::string> codes;
  auto add = [&](const std::string& code) {
    if (!code.empty() && std::find(codes.begin(), codes.end(), code) == codes.end()) codes.push_back(code);
  };
  if (!check.ranges.empty()) {
    // Rows at values that were missing when the seedings ran: written beside them.
    for (const localdb::OutgoingRow& row : localdb::RowsIn(L, L.TransLeitura, check.ranges)) add(row.produto);
    return codes;
  }
  // Rows written beside the seedings: by a transaction not their own that was open when they
  // looked, or that began after that.
  std::string beside = "E.RDB$RECORD_VERSION >= " + std::to_string(check.from);
  if (!check.open.empty()) beside = "(" + beside + " OR E.RDB$RECORD_VERSION IN (" + List(check.open) + "))";
  const localdb::CodeColumn& code = localdb::Schema(L).log_code;
  std::string sql = "SELECT DISTINCT " + localdb::CodeSelect(code, "E.CODIGOPRODUTO") +
                    " AS CODIGOPRODUTO FROM RPL_LOGESTOQUE_ENV E WHERE E.SEQUENCIAL <= " + std::to_string(check.upto) +
                    " AND " + beside;
  if (!check.own.empty()) sql += " AND E.RDB$RECORD_VERSION NOT IN (" + List(check.own) + ")";
  localdb::TFDQuery products("TBProdutosAlterados", L.ConnQuelbrant, L.TransLeitura, sql);
  Closing closing{products};
  for (products.Open(); !products.Eof(); products.Next())
    if (!products.FieldByName("CODIGOPRODUTO").IsNull()) add(localdb::DecodeCode(code, products.FieldByName("CODIGOPRODUTO")));
  return codes;
}

SeedingResult RefreshProducts(localdb::LocalConnection& L, const std::vector<std::string>& products, std::int64_t index,
                              std::int64_t after, const BeforeCommit& before_commit) {
  localdb::FitStatementsToSchema(L);
  return Seed(
      L, after, index,
      [&] {
        const localdb::CodeColumn& column = localdb::Schema(L).product_code;
        for (const std::string& code : products) {
          // A code the product table's character set cannot hold names no product there.
          if (!localdb::SetCode(column, L.TBAtualizaEstoque.ParamByName("CODIGO"), code)) continue;
          L.TBAtualizaEstoque.ExecSQL();
        }
      },
      before_commit);
}

std::optional<SeedingCheck> CheckFor(const SeedingResult& result, const MonitorSnapshot* look) {
  SeedingCheck c;
  c.upto = result.upto;
  if (result.by_values) {
    if (result.missing_below.empty()) return std::nullopt;  // no value left that a late row could take
    c.ranges = result.missing_below;
    return c;
  }
  c.own = {result.transaction};
  if (look && look->horizon > 0) {
    c.from = look->horizon;
    for (const OpenTransaction& t : look->open) c.open.push_back(t.id);
  } else {
    // Without a look only the transactions that began with or after the seeding are known.
    c.from = result.transaction;
  }
  c.Cap();
  return c;
}

}  // namespace replication
