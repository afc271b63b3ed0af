// What the cycle record costs an idle cycle, the cycle a store runs every ten seconds all day.
//
// With record: the agent's own Timer1Timer, which runs the cycle and then replaces the record
// (written, then renamed over the old one).
// Bare: the same cycle of the same service object without the record (replication::Timer1Timer).
// Both against a store database whose outgoing log the stand-in central server has received in
// full (it reports the local highest SEQUENCIAL as the index), so every cycle is idle. The record
// should add at most 10 % to an idle cycle; the ratio of the fastest passes and the median of the
// pairs are printed at the end, with the cost of the record alone.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <vector>

#include "cycle_bench_env.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int64_t kRows = 1000;
constexpr int kCyclesPerPass = 20;
constexpr int kPairs = 5;

std::string g_app;
std::unique_ptr<TTavrimondoClient> g_agent;

double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

void BM_IdleCycleBare(benchmark::State& state) {
  for (auto _ : state) {
    const auto t0 = Clock::now();
    for (int i = 0; i < kCyclesPerPass; ++i) {
      replication::CycleReport report;
      replication::Timer1Timer({g_agent->Central, g_agent->Local, *g_agent->Timer1, g_agent->ConnectionLock, &report});
      if (report.outcome != replication::CycleOutcome::kIdle) state.SkipWithError("the cycle was not idle");
    }
    state.SetIterationTime(Since(t0) / kCyclesPerPass);
  }
}

void BM_IdleCycleWithRecord(benchmark::State& state) {
  for (auto _ : state) {
    const auto t0 = Clock::now();
    for (int i = 0; i < kCyclesPerPass; ++i) g_agent->Timer1Timer();
    state.SetIterationTime(Since(t0) / kCyclesPerPass);
  }
}

void BM_RecordAlone(benchmark::State& state) {
  replication::CycleReport report;
  report.start = report.end = std::chrono::system_clock::now();
  report.index_before = report.index_after = std::to_string(kRows);
  for (auto _ : state) g_agent->Record.RecordCycle(report);
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.iterations == 0 || r.error_occurred) continue;
      seconds_[r.run_name.function_name].push_back(r.real_accumulated_time / static_cast<double>(r.iterations));
    }
  }
  std::map<std::string, std::vector<double>> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  // Passes in alternation, so that a slow spell of the shared machine weighs on both sides.
  for (int i = 0; i < kPairs; ++i) {
    benchmark::RegisterBenchmark("BM_IdleCycleBare", BM_IdleCycleBare)
        ->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
    benchmark::RegisterBenchmark("BM_IdleCycleWithRecord", BM_IdleCycleWithRecord)
        ->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
  }
  benchmark::RegisterBenchmark("BM_RecordAlone", BM_RecordAlone)->Unit(benchmark::kMicrosecond);
  benchmark::Initialize(&argc, argv);
  std::string store;
  try {
    store = cyclebench::EnsureStore(kRows);
  } catch (const std::exception& e) {
    std::cerr << "cycle_record_bench: " << e.what() << "\n(start the server with scripts/firebird.sh start)\n";
    return 1;
  }
  char tmpl[] = "/tmp/cycle-record-bench-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  g_app = std::string(tmpl) + "/";
  int rc = 0;
  {
    // The central server has everything already: its index is the local highest.
    central_child::Server central(TAVRIMONDO_CENTRAL_EXE, g_app,
                                  {"--branch", std::to_string(cyclebench::kLoja), "--index-text", std::to_string(kRows)});
    central.Start();
    settings::SetAppDirectoryOverride(g_app);
    std::ofstream(g_app + "kordane.ini") << "[Kordane]\r\nServidorCentral=127.0.0.1\r\nServidor=" << cyclebench::Host()
                                         << "\r\nCaminho=" << store << "\r\nMonitorarComando=0\r\n";
    replication::MainLoop loop;
    g_agent = std::make_unique<TTavrimondoClient>(loop);
    auto& params = g_agent->Central.ConnServer.Params;
    params[params.IndexOfName("Port")] = "Port=" + std::to_string(central.port());
    bool started = true;
    g_agent->ServiceStart(started);

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const std::vector<double>& bare = reporter.seconds_["BM_IdleCycleBare"];
    const std::vector<double>& with = reporter.seconds_["BM_IdleCycleWithRecord"];
    const std::vector<double>& alone = reporter.seconds_["BM_RecordAlone"];
    if (!bare.empty() && !with.empty()) {
      const double b = *std::min_element(bare.begin(), bare.end());
      const double w = *std::min_element(with.begin(), with.end());
      std::vector<double> pairs;
      for (std::size_t i = 0; i < bare.size() && i < with.size(); ++i) pairs.push_back(with[i] / bare[i]);
      std::sort(pairs.begin(), pairs.end());
      const double median = pairs.size() % 2 ? pairs[pairs.size() / 2]
                                             : (pairs[pairs.size() / 2 - 1] + pairs[pairs.size() / 2]) / 2;
      std::printf("idle cycle: %.2f ms bare, %.2f ms with the record (fastest passes of %d cycles)\n", b * 1e3, w * 1e3,
                  kCyclesPerPass);
      if (!alone.empty()) std::printf("the record alone: %.3f ms\n", alone.front() * 1e3);
      std::printf("idle cycle with record / bare: fastest passes ratio %.3f, median of %zu pairs %.3f (goal <= 1.10 %s)\n",
                  w / b, pairs.size(), median, w / b <= 1.10 ? "met" : "NOT met");
    } else {
      rc = 1;
    }
    g_agent.reset();
    settings::SetAppDirectoryOverride("");
  }
  std::error_code ec;
  std::filesystem::remove_all(g_app, ec);
  benchmark::Shutdown();
  return rc;
}
