// One replication cycle sending a backlog of 100,000 outgoing rows, against its floor; and the cost
// of gaps in SEQUENCIAL.
//
// Cycle: the agent's own cycle (Timer1Timer) from a store database holding the backlog to the
// stand-in central server on a fresh central database. It begins with no index, so it also looks
// whether an initial load is due and runs it (there is no stock to load).
// Gaps: the same with a backlog missing every 1,000th value (rolled back by the store's programs).
// The cycle finds the gaps, settles them all with one look at the monitoring tables and sends
// every row. Its time per row should be at most 1.05 times the plain cycle's.
// Shared generator: 100,000 rows in which every other value is missing (a generator shared with
// another table), in one cycle. It should take at most 1.10 times the plain cycle, which sends the
// same number of rows without gaps.
// Floor: the two halves of the work done bare, one after the other: reading the same rows through
// TBLogEstoqueENV into memory, then applying them in the same 50-row batches through
// CDSLogEstoqueRec (Insert/Post/ApplyUpdates) to the stand-in server on another fresh central
// database. The cycle should cost at most 1.25 times the floor; the ratio of the fastest passes
// and the rows per second are printed at the end.
//
// Idle cycles and the watch of passed values: 60 cycles (ten minutes of a store's time, the clock
// moved on ten seconds a cycle) of a store whose rows have all reached the central server, with a
// watch of 1,000,000 passed values of which every other one had no row, passed over the last seven
// days and checked on its schedule, against the same cycles without a watch. At most 1.10.
//
// Each pass gets its own central database and server process, made before the clock starts.
// The backlog database is built once and kept in the state dir.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <vector>

#include <random>

#include "connections/central/central_connection.h"
#include "cycle_bench_env.h"
#include "replication/replication_state.h"

namespace {

using Clock = std::chrono::steady_clock;
using localdb::SeqRange;
constexpr std::int64_t kRows = 100'000;
constexpr std::int64_t kGapEvery = 1000;
constexpr int kBatch = 50;

std::string g_store, g_gap_store, g_shared_store, g_idle_store;
constexpr std::int64_t kWatched = 1'000'000;  // values of the idle store, every other one a row
constexpr int kIdleCycles = 60;
std::string g_scratch;

double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

void BM_Cycle(benchmark::State& state) {
  for (auto _ : state) {
    cyclebench::Central central(g_scratch + "central/");
    cyclebench::Agent agent(g_scratch + "agent/", g_store, central.port());
    const auto t0 = Clock::now();
    agent.Cycle();
    state.SetIterationTime(Since(t0));
    if (central.Received() != kRows || central.Index() != kRows) state.SkipWithError("the cycle did not send everything");
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_CycleGaps(benchmark::State& state) {
  constexpr std::int64_t sent = kRows - kRows / kGapEvery;
  for (auto _ : state) {
    cyclebench::Central central(g_scratch + "central/");
    cyclebench::Agent agent(g_scratch + "agent-gaps/", g_gap_store, central.port());
    const auto t0 = Clock::now();
    agent.Cycle();
    state.SetIterationTime(Since(t0));
    if (central.Received() != sent || central.Index() != kRows - 1) state.SkipWithError("the cycle did not send everything");
  }
  state.SetItemsProcessed(state.iterations() * sent);
  state.counters["rows"] = static_cast<double>(sent);
}

void BM_CycleSharedGenerator(benchmark::State& state) {
  for (auto _ : state) {
    cyclebench::Central central(g_scratch + "central/");
    cyclebench::Agent agent(g_scratch + "agent-shared/", g_shared_store, central.port());
    const auto t0 = Clock::now();
    agent.Cycle();
    state.SetIterationTime(Since(t0));
    if (central.Received() != kRows || central.Index() != 2 * kRows - 1)
      state.SkipWithError("the cycle did not send everything");
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}

// The watch a store has after a week of passing every other value: each window passed at its
// time, and checked as its schedule had it.
replication::PassedWatch WeekOfWatch(std::int64_t now) {
  replication::PassedWatch w;
  std::mt19937_64 rng(7);
  const std::int64_t week = replication::PassedWatch::kKeepFor - 3600;
  for (std::int64_t lo = 1; lo <= kWatched; lo += replication::PassedWatch::kWindow) {
    const std::int64_t hi = std::min(kWatched - 1, lo + replication::PassedWatch::kWindow - 1);
    std::vector<SeqRange> missing;
    for (std::int64_t v = lo; v <= hi; ++v)
      if (v % 2 == 0) missing.push_back({v, v});
    w.AddPassed(lo, hi, missing, now - week + week * lo / kWatched);
  }
  const replication::PassedWatch passed = w;
  for (const auto& [base, e] : passed.Entries()) {
    const std::int64_t age = now - e.passed_at;
    const std::int64_t every = age < 600 ? 1 : age < 86400 ? 600 : 3600;
    w.Confirm(base, e.rows, e.sum, now - static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(every)));
  }
  return w;
}

void IdleCycles(benchmark::State& state, bool watch) {
  for (auto _ : state) {
    cyclebench::Central central(g_scratch + "central/");
    central.SetIndex(kWatched - 1);
    const std::string dir = g_scratch + (watch ? "agent-watch/" : "agent-idle/");
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::int64_t now = 1765400000;
    if (watch) {
      replication::ReplicationState s;
      s.store = cyclebench::kLoja;
      s.database = cyclebench::Host() + ":" + g_idle_store;
      s.had_index = true;
      s.watch = WeekOfWatch(now);
      replication::StateFile(dir + replication::kStateFileName).Write(s);
    }
    cyclebench::Agent agent(dir, g_idle_store, central.port());
    agent.client().Replication.clock = [&] { return now; };
    const auto t0 = Clock::now();
    for (int i = 0; i < kIdleCycles; ++i) {
      agent.Cycle();
      now += 10;
    }
    state.SetIterationTime(Since(t0));
    if (central.Received() != 0 || (watch && agent.client().Replication.state.watch.Empty()))
      state.SkipWithError("the idle cycles were not idle");
  }
}
void BM_IdleCycles(benchmark::State& state) { IdleCycles(state, false); }
void BM_IdleCyclesWatch(benchmark::State& state) { IdleCycles(state, true); }

struct Row {
  std::string sequencial, produto;
  std::int64_t estoque;  // currency, 4 decimals
};

void BM_Floor(benchmark::State& state) {
  for (auto _ : state) {
    cyclebench::Central central(g_scratch + "central/");
    localdb::LocalConnection local;
    cyclebench::PointAt(local, g_store);
    central::CentralConnection c;
    c.ConnServer.Params[c.ConnServer.Params.IndexOfName("HostName")] = "HostName=127.0.0.1";
    c.ConnServer.Params[c.ConnServer.Params.IndexOfName("Port")] = "Port=" + std::to_string(central.port());

    const auto t0 = Clock::now();
    // The read, as the cycle does it.
    local.ConnQuelbrant.SetConnected(true);
    std::vector<Row> rows;
    rows.reserve(kRows);
    auto& q = local.TBLogEstoqueENV;
    q.Close();
    q.ParamByName("INDICE").SetAsString("0");
    q.Open();
    for (q.First(); !q.Eof(); q.Next())
      rows.push_back({q.FieldByName("SEQUENCIAL").AsString(), q.FieldByName("CODIGOPRODUTO").AsString(),
                      q.FieldByName("ESTOQUEATUAL").AsCurrency()});
    q.Close();
    local.ConnQuelbrant.SetConnected(false);

    // The applies, in the cycle's batches.
    c.ConnServer.SetConnected(true);
    auto& d = c.CDSLogEstoqueRec;
    d.Open();
    int pending = 0;
    bool rejected = false;
    for (const Row& r : rows) {
      d.Insert();
      d.FieldByName("SEQUENCIALLOJAORIGEM").SetAsString(r.sequencial);
      d.FieldByName("CODIGOLOJA").SetAsInteger(cyclebench::kLoja);
      d.FieldByName("CODIGOPRODUTO").SetAsString(r.produto);
      d.FieldByName("ESTOQUEATUAL").SetAsCurrency(r.estoque);
      d.Post();
      if (++pending == kBatch) {
        rejected |= d.ApplyUpdates(0) != 0;
        pending = 0;
      }
    }
    if (pending) rejected |= d.ApplyUpdates(0) != 0;
    d.Close();
    c.ConnServer.SetConnected(false);
    state.SetIterationTime(Since(t0));

    if (rejected || rows.size() != static_cast<std::size_t>(kRows) || central.Received() != kRows)
      state.SkipWithError("the floor did not send everything");
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}

// Passes in alternation, floor then cycle, so that a slow spell of the shared Firebird server
// weighs on both sides. The ratio is given for the fastest pass of each side (the least disturbed)
// and as the median of the ratios of the pairs.
constexpr int kPairs = 4;

// Keeps each benchmark's passes in order, to print the ratios after the run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.iterations == 0 || r.error_occurred) continue;
      seconds_[r.run_name.function_name].push_back(r.real_accumulated_time / static_cast<double>(r.iterations));
      if (r.counters.count("rows")) rows_[r.run_name.function_name] = r.counters.at("rows");
    }
  }
  std::map<std::string, std::vector<double>> seconds_;
  std::map<std::string, double> rows_;
};

}  // namespace

int main(int argc, char** argv) {
  for (int i = 0; i < kPairs; ++i) {
    benchmark::RegisterBenchmark("BM_Floor", BM_Floor)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
    benchmark::RegisterBenchmark("BM_Cycle", BM_Cycle)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
    benchmark::RegisterBenchmark("BM_CycleGaps", BM_CycleGaps)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
    benchmark::RegisterBenchmark("BM_CycleSharedGenerator", BM_CycleSharedGenerator)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(1);
    benchmark::RegisterBenchmark("BM_IdleCycles", BM_IdleCycles)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
    benchmark::RegisterBenchmark("BM_IdleCyclesWatch", BM_IdleCyclesWatch)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(1);
  }
  benchmark::Initialize(&argc, argv);
  try {
    g_store = cyclebench::EnsureStore(kRows);
    g_gap_store = cyclebench::EnsureStore(kRows, kGapEvery);
    g_shared_store = cyclebench::EnsureStore(2 * kRows, 2);
    g_idle_store = cyclebench::EnsureStore(kWatched, 2);
  } catch (const std::exception& e) {
    std::cerr << "cycle_bench: " << e.what() << "\n(start the server with scripts/firebird.sh start)\n";
    return 1;
  }
  char tmpl[] = "/tmp/cycle-bench-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  g_scratch = std::string(tmpl) + "/";
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const std::vector<double>& floor = reporter.seconds_["BM_Floor"];
  const std::vector<double>& cycle = reporter.seconds_["BM_Cycle"];
  if (!floor.empty() && !cycle.empty()) {
    const double f = *std::min_element(floor.begin(), floor.end());
    const double c = *std::min_element(cycle.begin(), cycle.end());
    std::vector<double> pairs;
    for (std::size_t i = 0; i < floor.size() && i < cycle.size(); ++i) pairs.push_back(cycle[i] / floor[i]);
    std::sort(pairs.begin(), pairs.end());
    const double median = pairs.size() % 2 ? pairs[pairs.size() / 2]
                                           : (pairs[pairs.size() / 2 - 1] + pairs[pairs.size() / 2]) / 2;
    std::printf("cycle: %.0f rows/s, floor: %.0f rows/s (%lld rows, fastest passes)\n", kRows / c, kRows / f,
                static_cast<long long>(kRows));
    std::printf("cycle / (bare read + bare applies): fastest passes ratio %.3f, median of %zu pairs %.3f (goal <= 1.25 %s)\n",
                c / f, pairs.size(), median, c / f <= 1.25 ? "met" : "NOT met");
    const std::vector<double>& gaps = reporter.seconds_["BM_CycleGaps"];
    const double gap_rows = reporter.rows_["BM_CycleGaps"];
    if (!gaps.empty() && gap_rows > 0) {
      const double g = *std::min_element(gaps.begin(), gaps.end()) / gap_rows;
      std::vector<double> gap_pairs;
      for (std::size_t i = 0; i < gaps.size() && i < cycle.size(); ++i)
        gap_pairs.push_back((gaps[i] / gap_rows) / (cycle[i] / kRows));
      std::sort(gap_pairs.begin(), gap_pairs.end());
      std::printf("cycle past %lld gaps / plain cycle, per row: fastest passes ratio %.3f, median of %zu pairs %.3f "
                  "(goal <= 1.05 %s)\n",
                  static_cast<long long>(kRows / kGapEvery - 1), g / (c / kRows), gap_pairs.size(),
                  gap_pairs[gap_pairs.size() / 2], g / (c / kRows) <= 1.05 ? "met" : "NOT met");
    }
    const std::vector<double>& shared = reporter.seconds_["BM_CycleSharedGenerator"];
    if (!shared.empty()) {
      const double sh = *std::min_element(shared.begin(), shared.end());
      std::vector<double> shared_pairs;
      for (std::size_t i = 0; i < shared.size() && i < cycle.size(); ++i) shared_pairs.push_back(shared[i] / cycle[i]);
      std::sort(shared_pairs.begin(), shared_pairs.end());
      std::printf("cycle with every other value missing / plain cycle, %lld rows each: fastest passes ratio %.3f, median "
                  "of %zu pairs %.3f (goal <= 1.10 %s)\n",
                  static_cast<long long>(kRows), sh / c, shared_pairs.size(), shared_pairs[shared_pairs.size() / 2],
                  sh / c <= 1.10 ? "met" : "NOT met");
    }
  }
  const std::vector<double>& idle = reporter.seconds_["BM_IdleCycles"];
  const std::vector<double>& watched = reporter.seconds_["BM_IdleCyclesWatch"];
  if (!idle.empty() && !watched.empty()) {
    const double i = *std::min_element(idle.begin(), idle.end());
    const double w = *std::min_element(watched.begin(), watched.end());
    std::vector<double> idle_pairs;
    for (std::size_t k = 0; k < idle.size() && k < watched.size(); ++k) idle_pairs.push_back(watched[k] / idle[k]);
    std::sort(idle_pairs.begin(), idle_pairs.end());
    std::printf("%d idle cycles with a watch of %lld values (every other one missing) / without: fastest passes ratio "
                "%.3f (%.1f ms a cycle), median of %zu pairs %.3f (goal <= 1.10 %s)\n",
                kIdleCycles, static_cast<long long>(kWatched), w / i, 1000 * w / kIdleCycles, idle_pairs.size(),
                idle_pairs[idle_pairs.size() / 2], w / i <= 1.10 ? "met" : "NOT met");
  }
  std::error_code ec;
  std::filesystem::remove_all(g_scratch, ec);
  benchmark::Shutdown();
  return 0;
}
