// What the cycle record costs an idle cycle, the cycle a store runs every ten seconds all day.
//
// With record: the agent's own Timer1Timer, which runs the cycle and then replaces the record
// (written, then renamed over the old one).
// Bare: the same cycle of the same service object without the record (replication::Timer1Timer).
// Both against a store database whose outgoing log the stand-in central server has received in
// full (it reports the local highest SEQUENCIAL as the index), so every cycle is idle. The two
// alternate cycle by cycle. The record should add at most 10 % to an idle cycle; the ratio of each
// pass and their median are printed at the end; BM_RecordAlone gives the record's own cost.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <vector>

#include "cycle_bench_env.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int64_t kRows = 1000;
constexpr int kPairsPerPass = 40;
constexpr int kPasses = 3;

std::unique_ptr<TTavrimondoClient> g_agent;
std::vector<double> g_ratios;  // with record / bare, one per pass

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// One pass: bare and recorded cycles in strict alternation, so that a slow spell of the shared
// machine weighs on both sides alike. The pass's time is that of the recorded cycles.
void BM_IdleCycleWithRecordAgainstBare(benchmark::State& state) {
  for (auto _ : state) {
    Clock::duration bare{}, with{};
    for (int i = 0; i < kPairsPerPass; ++i) {
      auto t0 = Clock::now();
      replication::CycleReport report;
      replication::Timer1Timer({g_agent->Central, g_agent->Local, *g_agent->Timer1, g_agent->ConnectionLock,
                                g_agent->Replication, [] { return g_agent->CycleShouldYield(); }, &report});
      auto t1 = Clock::now();
      g_agent->Timer1Timer();
      auto t2 = Clock::now();
      if (report.outcome != replication::CycleOutcome::kIdle) state.SkipWithError("the cycle was not idle");
      bare += t1 - t0;
      with += t2 - t1;
    }
    state.SetIterationTime(Seconds(with) / kPairsPerPass);
    state.counters["bare_ms"] = Seconds(bare) / kPairsPerPass * 1e3;
    g_ratios.push_back(Seconds(with) / Seconds(bare));
  }
}

void BM_RecordAlone(benchmark::State& state) {
  replication::CycleReport report;
  report.start = report.end = std::chrono::system_clock::now();
  report.index_before = report.index_after = std::to_string(kRows);
  for (auto _ : state) g_agent->Record.RecordCycle(report);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark("BM_IdleCycleWithRecordAgainstBare", BM_IdleCycleWithRecordAgainstBare)
      ->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(kPasses);
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
  const std::string app = std::string(tmpl) + "/";
  int rc = 0;
  {
    // The central server has everything already: its index is the local highest.
    central_child::Server central(TAVRIMONDO_CENTRAL_EXE, app,
                                  {"--branch", std::to_string(cyclebench::kLoja), "--index-text", std::to_string(kRows)});
    central.Start();
    settings::SetAppDirectoryOverride(app);
    std::ofstream(app + "kordane.ini") << "[Kordane]\r\nServidorCentral=127.0.0.1\r\nServidor=" << cyclebench::Host()
                                       << "\r\nCaminho=" << store << "\r\nMonitorarComando=0\r\n";
    replication::MainLoop loop;
    g_agent = std::make_unique<TTavrimondoClient>(loop);
    auto& params = g_agent->Central.ConnServer.Params;
    params[params.IndexOfName("Port")] = "Port=" + std::to_string(central.port());
    bool started = true;
    g_agent->ServiceStart(started);

    benchmark::RunSpecifiedBenchmarks();
    if (!g_ratios.empty()) {
      std::vector<double> r = g_ratios;
      std::sort(r.begin(), r.end());
      std::printf("idle cycle with record / bare, %d alternating pairs per pass: passes ", kPairsPerPass);
      for (double x : g_ratios) std::printf("%.3f ", x);
      std::printf("(median %.3f, goal <= 1.10 %s)\n", r[r.size() / 2], r[r.size() / 2] <= 1.10 ? "met" : "NOT met");
    } else {
      rc = 1;
    }
    g_agent.reset();
    settings::SetAppDirectoryOverride("");
  }
  std::error_code ec;
  std::filesystem::remove_all(app, ec);
  benchmark::Shutdown();
  return rc;
}
