// Reading the outgoing stock log: TBLogEstoqueENV against a bare isc_dsql_fetch loop.
//
// Both read the same 1,000,000 rows with the same SQL through the same client library in the same
// run; the figure that counts is the ratio of the two (goal: at most 1.3), printed at the end.
// Needs the Firebird server (scripts/firebird.sh start); TAVRIMONDO_FB_HOST, TAVRIMONDO_STATE_DIR
// and TAVRIMONDO_FB_PASSWORD say where it is, as for the tests. The database is built once and
// kept in the state dir.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>

#include "connections/local/local_connection.h"

namespace {

constexpr std::int64_t kRows = 1'000'000;

std::string Env(const char* name, const char* def) {
  const char* v = std::getenv(name);
  return v && *v ? v : def;
}

std::string Host() { return Env("TAVRIMONDO_FB_HOST", "localhost"); }
std::string Password() { return Env("TAVRIMONDO_FB_PASSWORD", "tallowfin"); }
std::string DbPath() { return Env("TAVRIMONDO_STATE_DIR", "/tmp/tavrimondo-fb") + "/db/bench-1m.fdb"; }

void PointAt(localdb::LocalConnection& c) {
  auto& p = c.ConnQuelbrant.Params;
  p.Set(p.IndexOfName("Server"), "Server=" + Host());
  p.Set(p.IndexOfName("Database"), "Database=" + DbPath());
  p.Set(p.IndexOfName("Password"), "Password=" + Password());
  c.FDPhysFBDriverLink1.VendorLib = "";
}

// A store database whose outgoing log holds kRows rows, made once.
void EnsureDatabase() {
  if (!std::filesystem::exists(DbPath())) {
    std::string cmd = "TAVRIMONDO_FB_PASSWORD='" + Password() + "' " TAVRIMONDO_FIREBIRD_SH " create-store-db '" +
                      DbPath() + "'";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("cannot create " + DbPath());
  }
  localdb::LocalConnection c;
  PointAt(c);
  c.ConnQuelbrant.SetConnected(true);
  localdb::TFDQuery count("Count", c.ConnQuelbrant, c.TransLeitura, "SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV");
  count.Open();
  std::int64_t have = localdb::TField(count, 0).AsLargeInt();
  count.Close();
  if (have == kRows) return;
  localdb::TFDQuery clear("Clear", c.ConnQuelbrant, c.TransEscrita, "DELETE FROM RPL_LOGESTOQUE_ENV");
  clear.ExecSQL();
  localdb::TFDQuery fill(
      "Fill", c.ConnQuelbrant, c.TransEscrita,
      "INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) "
      "WITH RECURSIVE N AS (SELECT 1 AS I FROM RDB$DATABASE UNION ALL SELECT I + 1 FROM N WHERE I < 1000) "
      "SELECT 'PRODUTO-' || A.I || '-' || B.I, A.I + B.I / 10000.0 FROM N A CROSS JOIN N B");
  fill.ExecSQL();
}

void BM_TBLogEstoqueENV(benchmark::State& state) {
  localdb::LocalConnection c;
  PointAt(c);
  c.ConnQuelbrant.SetConnected(true);
  auto& q = c.TBLogEstoqueENV;
  for (auto _ : state) {
    std::int64_t rows = 0, sum = 0;
    std::size_t chars = 0;
    q.Close();
    q.ParamByName("INDICE").SetAsString("0");
    q.Open();
    for (q.First(); !q.Eof(); q.Next()) {
      sum += q.FieldByName("SEQUENCIAL").AsLargeInt();
      chars += q.FieldByName("CODIGOPRODUTO").AsString().size();
      sum += q.FieldByName("ESTOQUEATUAL").AsCurrency();
      ++rows;
    }
    q.Close();
    if (rows != kRows) state.SkipWithError("unexpected row count");
    benchmark::DoNotOptimize(sum);
    benchmark::DoNotOptimize(chars);
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}

// The floor: the client library's own fetch loop, values read straight from the buffers.
void BM_BareFetch(benchmark::State& state) {
  const localdb::FbApi& api = localdb::FbDriverManager::Process().Load("", nullptr);
  std::string target = Host() + ":" + DbPath();
  std::string dpb(1, isc_dpb_version1);
  auto add = [&](char item, const std::string& v) {
    dpb.push_back(item);
    dpb.push_back(static_cast<char>(v.size()));
    dpb += v;
  };
  add(isc_dpb_user_name, "SYSDBA");
  add(isc_dpb_password, Password());
  add(isc_dpb_lc_ctype, "ISO8859_1");
  ISC_STATUS_ARRAY st;
  isc_db_handle db = 0;
  auto check = [&](ISC_STATUS rc) {
    if (rc) throw std::runtime_error(localdb::InterpretStatus(api, st));
  };
  check(api.attach_database(st, static_cast<short>(target.size()), target.c_str(), &db,
                            static_cast<short>(dpb.size()), dpb.data()));

  // The same text with the parameter marker the server understands.
  const std::string_view text = localdb::kSqlLogEstoqueENV;
  const std::size_t marker = text.find(":INDICE");
  std::string sql(text.substr(0, marker));
  sql += '?';
  sql.append(text.substr(marker + 7));
  const char tpb[] = {isc_tpb_version3, isc_tpb_read, isc_tpb_read_committed, isc_tpb_rec_version, isc_tpb_nowait};

  std::vector<char> out_mem(XSQLDA_LENGTH(3)), in_mem(XSQLDA_LENGTH(1));
  auto* out = reinterpret_cast<XSQLDA*>(out_mem.data());
  auto* in = reinterpret_cast<XSQLDA*>(in_mem.data());
  out->version = in->version = SQLDA_VERSION1;
  out->sqln = 3;
  in->sqln = 1;
  isc_stmt_handle stmt = 0;
  isc_tr_handle tr = 0;
  localdb::FbTeb teb{&db, static_cast<int>(sizeof tpb), tpb};
  check(api.start_multiple(st, &tr, 1, &teb));
  check(api.dsql_allocate_statement(st, &db, &stmt));
  check(api.dsql_prepare(st, &tr, &stmt, 0, sql.c_str(), SQL_DIALECT_V6, out));
  check(api.dsql_describe_bind(st, &stmt, SQL_DIALECT_V6, in));
  check(api.commit_transaction(st, &tr));

  char buf[3][64];
  ISC_SHORT ind[3];
  for (int i = 0; i < 3; ++i) {
    out->sqlvar[i].sqldata = buf[i];
    out->sqlvar[i].sqlind = &ind[i];
    out->sqlvar[i].sqltype |= 1;
  }
  char param[3] = {1, 0, '0'};
  ISC_SHORT param_ind = 0;
  in->sqlvar[0].sqltype = SQL_VARYING | 1;
  in->sqlvar[0].sqllen = 1;
  in->sqlvar[0].sqlsubtype = 21;
  in->sqlvar[0].sqldata = param;
  in->sqlvar[0].sqlind = &param_ind;

  for (auto _ : state) {
    std::int64_t rows = 0, sum = 0;
    std::size_t chars = 0;
    check(api.start_multiple(st, &tr, 1, &teb));
    check(api.dsql_execute(st, &tr, &stmt, SQL_DIALECT_V6, in));
    ISC_STATUS rc;
    while ((rc = api.dsql_fetch(st, &stmt, SQL_DIALECT_V6, out)) == 0) {
      std::int64_t v;
      std::memcpy(&v, buf[0], 8);
      sum += v;
      ISC_USHORT len;
      std::memcpy(&len, buf[1], 2);
      chars += len;
      std::memcpy(&v, buf[2], 8);
      sum += v;
      ++rows;
    }
    if (rc != 100) throw std::runtime_error(localdb::InterpretStatus(api, st));
    check(api.dsql_free_statement(st, &stmt, DSQL_close));
    check(api.commit_transaction(st, &tr));
    if (rows != kRows) state.SkipWithError("unexpected row count");
    benchmark::DoNotOptimize(sum);
    benchmark::DoNotOptimize(chars);
  }
  state.SetItemsProcessed(state.iterations() * kRows);
  api.dsql_free_statement(st, &stmt, DSQL_drop);
  api.detach_database(st, &db);
}

// Several single passes each; the ratio uses each side's fastest pass, the one least disturbed by
// whatever else the machine was doing.
BENCHMARK(BM_BareFetch)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(5);
BENCHMARK(BM_TBLogEstoqueENV)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(5);

// Keeps each benchmark's fastest pass, to print the ratio after the run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.iterations == 0) continue;
      double s = r.real_accumulated_time / static_cast<double>(r.iterations);
      auto [it, fresh] = seconds_.emplace(r.run_name.function_name, s);
      if (!fresh && s < it->second) it->second = s;
    }
  }
  std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  try {
    EnsureDatabase();
  } catch (const std::exception& e) {
    std::cerr << "local_db_bench: " << e.what() << "\n(start the server with scripts/firebird.sh start)\n";
    return 1;
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto& s = reporter.seconds_;
  if (s.count("BM_BareFetch") && s.count("BM_TBLogEstoqueENV")) {
    double ratio = s["BM_TBLogEstoqueENV"] / s["BM_BareFetch"];
    std::cout << "TBLogEstoqueENV / bare isc_dsql_fetch, " << kRows << " rows, fastest passes: ratio " << ratio
              << (ratio <= 1.3 ? " (goal <= 1.3 met)" : " (goal <= 1.3 NOT met)") << "\n";
  }
  benchmark::Shutdown();
  return 0;
}
