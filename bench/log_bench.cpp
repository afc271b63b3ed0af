// Cost of one activity-log line with 0, 10,000 and 100,000 lines already in the month's file,
// as ratios to the empty case, all measured in this run.
//
// The writer appends when the file holds exactly what a full rewrite would write, so the cost of a
// line must not grow with the file. The first line a process writes to a file it has not seen
// reads that file once; "Cold" measures that call alone.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "settings/activity_log.h"

namespace fs = std::filesystem;

namespace {

os::LocalTime Fixed() { return {2018, 2, 9, 14, 5, 33, 0}; }

std::string MakeDir(long lines) {
  fs::path dir = fs::temp_directory_path() / ("tavrimondo-log-bench-" + std::to_string(lines));
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::string bytes;
  for (long i = 0; i < lines; ++i) bytes += "09/02/2018 14:05:33 - Finalizou o envio de 50 registro(s)\r\n";
  std::FILE* f = std::fopen((dir / "Tavrimondo_022018.LOG").c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  return dir.string() + "/";
}

void BM_LineAfter(benchmark::State& state) {
  const std::string dir = MakeDir(state.range(0));
  settings::ActivityLog log(dir, &Fixed);
  log.Save("aquecimento");  // the one read of a file this process has not written yet
  for (auto _ : state) log.Save("Iniciou o envio de registros");
  fs::remove_all(dir);
}
BENCHMARK(BM_LineAfter)->Arg(0)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

void BM_ColdLineAfter(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    const std::string dir = MakeDir(state.range(0));
    settings::ActivityLog log(dir, &Fixed);
    state.ResumeTiming();
    log.Save("Iniciou o envio de registros");
    state.PauseTiming();
    fs::remove_all(dir);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ColdLineAfter)->Arg(0)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond)->Iterations(20);

// Prints each case against the same run's empty file.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) {
      std::string name = r.benchmark_name();
      name = name.substr(0, name.find("/iterations"));
      times_[name] = r.GetAdjustedRealTime();
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const char* base : {"BM_LineAfter", "BM_ColdLineAfter"}) {
      double empty = times_[std::string(base) + "/0"];
      for (const char* n : {"10000", "100000"}) {
        double t = times_[std::string(base) + "/" + n];
        std::printf("%s: ratio %s lines / empty file = %.2f\n", base, n, empty > 0 ? t / empty : 0.0);
      }
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
}
