// The stock audit of a store with 100,000 products and 2,000,000 outgoing rows (20 a product, 100
// products differing), against its floor.
//
// Floor: one bare read of PRODUTOS (code and stock) plus one bare read of the outgoing log in
// SEQUENCIAL order (SEQUENCIAL, product and stock), each one statement through the database layer,
// every value read. The audit (AuditStock, read-only, with the service's own pacing: steps of half
// a second, each in its own transaction, a pause of a tenth of a second between them) should take
// at most 1.5 times the floor, hold no transaction longer than 2 s, and peak at 64 MB at most: the
// peak resident memory (VmHWM) of a process that does nothing but connect and audit. The same
// audit where the log has an index on CODIGOPRODUTO (each product's last row looked up) is shown
// beside it; the index is made for it and dropped after.
//
//   stock_audit_bench [PASSES]      (default 3; the ratio uses each side's fastest pass)
//   stock_audit_bench --memory      the child: one audit, prints "vmhwm_kb K before_kb B"
//
// Needs the Firebird server (scripts/firebird.sh start). The database is built once and kept in
// the state dir.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "cycle_bench_env.h"
#include "replication/stock_audit.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int64_t kProducts = 100'000;
constexpr std::int64_t kRounds = 20;
constexpr std::int64_t kRows = kProducts * kRounds;
constexpr std::int64_t kDiffering = 100;

std::string Path() {
  return cyclebench::DbDir() + "audit-bench-" + std::to_string(kProducts) + "-" + std::to_string(kRows) + ".fdb";
}

struct Db {
  localdb::LocalConnection c;
  Db() {
    cyclebench::PointAt(c, Path());
    c.ConnQuelbrant.SetConnected(true);
  }
  std::int64_t Scalar(const std::string& sql) {
    localdb::TFDQuery q("Q", c.ConnQuelbrant, c.TransLeitura, sql);
    q.Open();
    const std::int64_t v = localdb::TField(q, 0).AsLargeInt();
    q.Close();
    return v;
  }
  void Exec(const std::string& sql) {
    localdb::TFDQuery q("X", c.ConnQuelbrant, c.TransEscrita, sql);
    q.ExecSQL();
  }
};

// Product (b, a), b in 1..100 and a in 1..1000, is "PRODUTO-b-a"; its row of round r (SEQUENCIAL
// (r - 1) * 100,000 + (b - 1) * 1,000 + a) holds the stock r * 10 + a / 100. Its stock in PRODUTOS
// is that of round 20, one more for a = 1000.
void EnsureDatabase() {
  if (!std::filesystem::exists(Path())) {
    const std::string cmd = "TAVRIMONDO_FB_PASSWORD='" + cyclebench::Password() + "' TAVRIMONDO_FB_HOST='" +
                            cyclebench::Host() + "' " TAVRIMONDO_FIREBIRD_SH " create-store-db '" + Path() + "' >/dev/null";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("cannot create " + Path());
  }
  Db db;
  if (db.Scalar("SELECT COUNT(*) FROM PRODUTOS") == kProducts && db.Scalar("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV") == kRows)
    return;
  std::cerr << "stock_audit_bench: building " << Path() << " (once)\n";
  db.Exec("DELETE FROM RPL_LOGESTOQUE_ENV");
  db.Exec("DELETE FROM PRODUTOS");
  const std::string n = "WITH RECURSIVE N AS (SELECT 1 AS I FROM RDB$DATABASE UNION ALL SELECT I + 1 FROM N WHERE I < 1000) ";
  db.Exec("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) " + n +
          "SELECT 'PRODUTO-' || B.I || '-' || A.I, " + std::to_string(kRounds * 10) +
          " + A.I / 100.0 + IIF(A.I = 1000, 1, 0) FROM N B CROSS JOIN N A WHERE B.I <= 100");
  for (std::int64_t r = 1; r <= kRounds; ++r)
    db.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (SEQUENCIAL, CODIGOPRODUTO, ESTOQUEATUAL) " + n + "SELECT " +
            std::to_string((r - 1) * kProducts) + " + (B.I - 1) * 1000 + A.I, 'PRODUTO-' || B.I || '-' || A.I, " +
            std::to_string(r * 10) + " + A.I / 100.0 FROM N B CROSS JOIN N A WHERE B.I <= 100");
  if (db.Scalar("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV") != kRows) throw std::runtime_error("the log is not as asked");
}

double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// One statement read to its end, every value taken.
double BareRead(Db& db, const std::string& sql, std::int64_t expected) {
  const auto t0 = Clock::now();
  localdb::TFDQuery q("Bare", db.c.ConnQuelbrant, db.c.TransLeitura, sql);
  std::int64_t rows = 0, sum = 0;
  std::size_t chars = 0;
  q.Open();
  const int fields = q.FieldCount();
  for (; !q.Eof(); q.Next()) {
    for (int i = 0; i < fields; ++i) {
      const localdb::TField f(q, i);
      if (i == fields - 2) chars += f.AsBytes().size();
      else sum += i == fields - 1 ? f.AsCurrency() : f.AsLargeInt();
    }
    ++rows;
  }
  q.Close();
  if (rows != expected) throw std::runtime_error("the bare read found " + std::to_string(rows) + " rows");
  if (sum == 42 && chars == 42) std::cout << "";
  return Since(t0);
}

struct AuditRun {
  double seconds = 0;
  replication::AuditFindings found;
};

AuditRun Audit(Db& db, const replication::AuditPacing& pacing = {}) {
  AuditRun run;
  const auto t0 = Clock::now();
  replication::AuditStock(db.c, kRows, pacing, {}, run.found);
  run.seconds = Since(t0);
  if (run.found.products != kProducts || static_cast<std::int64_t>(run.found.differences.size()) != kDiffering)
    throw std::runtime_error("the audit found " + std::to_string(run.found.differences.size()) + " differing of " +
                             std::to_string(run.found.products));
  return run;
}

long StatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::string(key).size()));
  return -1;
}

int MemoryChild() {
  Db db;
  const long before = StatusKb("VmHWM:");
  Audit(db);
  std::printf("vmhwm_kb %ld before_kb %ld\n", StatusKb("VmHWM:"), before);
  return 0;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--memory") return MemoryChild();
  const int passes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  try {
    EnsureDatabase();
    Db db;
    std::vector<double> floor, audit, pairs;
    std::chrono::milliseconds longest{0};
    int steps = 0;
    for (int i = 0; i < passes; ++i) {
      const double products = BareRead(db, "SELECT CODIGO, ESTOQUEATUAL FROM PRODUTOS", kProducts);
      const double log = BareRead(
          db, "SELECT SEQUENCIAL, CODIGOPRODUTO, ESTOQUEATUAL FROM RPL_LOGESTOQUE_ENV ORDER BY SEQUENCIAL", kRows);
      const AuditRun a = Audit(db);
      floor.push_back(products + log);
      audit.push_back(a.seconds);
      pairs.push_back(a.seconds / (products + log));
      longest = std::max(longest, a.found.longest_step);
      steps = a.found.steps;
      std::printf("pass %d: PRODUTOS %.2f s + log %.2f s = %.2f s; audit %.2f s in %d steps (longest %lld ms)\n", i + 1,
                  products, log, products + log, a.seconds, a.found.steps, static_cast<long long>(a.found.longest_step.count()));
    }
    // The same reading unpaced, in one step each: what the pacing itself costs.
    replication::AuditPacing unpaced;
    unpaced.step = std::chrono::hours(1);
    unpaced.pause = std::chrono::milliseconds(0);
    const AuditRun one = Audit(db, unpaced);
    std::printf("the audit unpaced (one step per table, no pause): %.2f s\n", one.seconds);
    const double f = *std::min_element(floor.begin(), floor.end()), a = *std::min_element(audit.begin(), audit.end());
    std::printf("audit / (bare PRODUTOS read + bare ordered log read), %lld products, %lld rows: fastest passes ratio %.3f, "
                "median of %zu pairs %.3f (goal <= 1.5 %s)\n",
                static_cast<long long>(kProducts), static_cast<long long>(kRows), a / f, pairs.size(), Median(pairs),
                a / f <= 1.5 ? "met" : "NOT met");
    std::printf("audit's longest step: %lld ms of %d steps (goal <= 2000 ms %s)\n", static_cast<long long>(longest.count()),
                steps, longest.count() <= 2000 ? "met" : "NOT met");

    // The peak of a process that only audits.
    int out[2];
    if (::pipe(out) != 0) return 1;
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(out[1], 1);
      ::execl("/proc/self/exe", argv[0], "--memory", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    char buf[256];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    long peak = -1, before = -1;
    if (std::sscanf(text.c_str(), "vmhwm_kb %ld before_kb %ld", &peak, &before) == 2)
      std::printf("audit's peak memory: %.1f MB (VmHWM of a process that connects and audits; %.1f MB before the "
                  "audit) (goal <= 64 MB %s)\n",
                  peak / 1024.0, before / 1024.0, peak <= 64 * 1024 ? "met" : "NOT met");
    else
      std::printf("audit's peak memory: the child failed (%s)\n", text.c_str());

    // By an index on CODIGOPRODUTO, for comparison.
    db.Exec("CREATE INDEX IX_AUDIT_BENCH_PRODUTO ON RPL_LOGESTOQUE_ENV (CODIGOPRODUTO)");
    try {
      std::vector<double> by_index;
      std::chrono::milliseconds longest_by_index{0};
      for (int i = 0; i < std::min(passes, 2); ++i) {
        const AuditRun r = Audit(db);
        if (!r.found.by_index) throw std::runtime_error("the index was not used");
        by_index.push_back(r.seconds);
        longest_by_index = std::max(longest_by_index, r.found.longest_step);
      }
      const double b = *std::min_element(by_index.begin(), by_index.end());
      std::printf("audit by an index on CODIGOPRODUTO / the same floor: fastest passes ratio %.3f (%.2f s), longest step "
                  "%lld ms\n",
                  b / f, b, static_cast<long long>(longest_by_index.count()));
    } catch (...) {
      db.Exec("DROP INDEX IX_AUDIT_BENCH_PRODUTO");
      throw;
    }
    db.Exec("DROP INDEX IX_AUDIT_BENCH_PRODUTO");
  } catch (const std::exception& e) {
    std::cerr << "stock_audit_bench: " << e.what() << "\n(start the server with scripts/firebird.sh start)\n";
    return 1;
  }
  return 0;
}
