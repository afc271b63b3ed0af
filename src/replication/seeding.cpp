#include "replication/seeding.h"

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

// A text the monitoring tables hold as raw bytes (cast to OCTETS), which the connection reads as
// ISO8859_1: back to the bytes, which are UTF-8.
std::string FromOctets(const std::string& as_read) {
  std::string bytes = text::Utf8ToLatin1(as_read);
  while (!bytes.empty() && (bytes.back() == ' ' || bytes.back() == '\0')) bytes.pop_back();
  return text::SanitizeUtf8(bytes);
}

std::string List(const std::vector<std::int64_t>& v) {
  std::string out;
  for (std::int64_t x : v) out += (out.empty() ? "" : ", ") + std::to_string(x);
  return out;
}

// Runs `work` in a transaction of its own on TransEscrita and measures what it appended above
// `after`; `before_commit` sees that before the commit.
template <class Work>
SeedingResult Seed(localdb::LocalConnection& L, std::int64_t after, Work&& work, const BeforeCommit& before_commit) {
  localdb::TFDTransaction& tx = L.TransEscrita;
  tx.StartTransaction();
  try {
    work();
    SeedingResult r;
    {
      Closing closing{L.TBResumoCarga};
      L.TBResumoCarga.ParamByName("APOS").SetAsLargeInt(after);
      L.TBResumoCarga.Open();
      r.rows = L.TBResumoCarga.FieldByName("GRAVADOS").AsLargeInt();
      r.upto = L.TBResumoCarga.FieldByName("ULTIMO").AsLargeInt();
      r.transaction = L.TBResumoCarga.FieldByName("TRANSACAO").AsLargeInt();
    }
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
  localdb::TFDQuery& q = L.TBTransacoesAtivas;
  try {
    Closing closing{q};
    q.Open();
    for (; !q.Eof(); q.Next()) {
      s.next_transaction = q.FieldByName("PROXIMA").AsLargeInt();
      s.complete = q.FieldByName("COMPLETO").AsInteger() != 0;
      if (q.FieldByName("TRANSACAO").IsNull()) continue;
      s.open.push_back({q.FieldByName("TRANSACAO").AsLargeInt(), FromOctets(q.FieldByName("USUARIO").AsString()),
                        FromOctets(q.FieldByName("ENDERECO").AsString()),
                        FromOctets(q.FieldByName("PROGRAMA").AsString())});
    }
  } catch (const localdb::EFirebirdError& e) {
    if (!e.HasCode(kNoPermission)) throw;
    return MonitorSnapshot{0, false, {}};
  }
  if (!s.complete) s.open.clear();  // only this user's own: no basis for a judgement
  return s;
}

SeedingResult RunInitialLoad(localdb::LocalConnection& L, const BeforeCommit& before_commit) {
  return Seed(L, 0, [&] { L.TBCargaInicial.ExecSQL(); }, before_commit);
}

SeedingResult RefreshProducts(localdb::LocalConnection& L, const SeedingCheck& check, const BeforeCommit& before_commit) {
  // Rows written beside the seedings: by a transaction not their own that was open when they
  // looked, or that began after that.
  std::string beside = "E.RDB$RECORD_VERSION >= " + std::to_string(check.from);
  if (!check.open.empty()) beside = "(" + beside + " OR E.RDB$RECORD_VERSION IN (" + List(check.open) + "))";
  std::string sql = "SELECT DISTINCT E.CODIGOPRODUTO FROM RPL_LOGESTOQUE_ENV E WHERE E.SEQUENCIAL <= " +
                    std::to_string(check.upto) + " AND " + beside;
  if (!check.own.empty()) sql += " AND E.RDB$RECORD_VERSION NOT IN (" + List(check.own) + ")";
  localdb::TFDQuery products("TBProdutosAlterados", L.ConnQuelbrant, L.TransEscrita, sql);
  localdb::TFDQuery refresh("TBAtualizaEstoque", L.ConnQuelbrant, L.TransEscrita,
                            "INSERT INTO RPL_LOGESTOQUE_ENV(CODIGOPRODUTO, ESTOQUEATUAL)\n"
                            "SELECT CODIGO, ESTOQUEATUAL FROM PRODUTOS WHERE CODIGO = :CODIGO");
  // The refresh's rows come after everything the seedings wrote.
  return Seed(
      L, check.upto,
      [&] {
        std::vector<std::string> codes;
        {
          Closing closing{products};
          for (products.Open(); !products.Eof(); products.Next())
            if (!products.FieldByName("CODIGOPRODUTO").IsNull()) codes.push_back(products.FieldByName("CODIGOPRODUTO").AsString());
        }
        for (const std::string& code : codes) {
          refresh.ParamByName("CODIGO").SetAsString(code);
          refresh.ExecSQL();
        }
      },
      before_commit);
}

SeedingCheck CheckFor(const SeedingResult& result, const MonitorSnapshot* look) {
  SeedingCheck c;
  c.upto = result.upto;
  c.own = {result.transaction};
  if (look && look->next_transaction > 0) {
    c.from = look->next_transaction;
    for (const OpenTransaction& t : look->open) c.open.push_back(t.id);
  } else {
    // Without a look only the transactions that began with or after the seeding are known.
    c.from = result.transaction;
  }
  return c;
}

}  // namespace replication
