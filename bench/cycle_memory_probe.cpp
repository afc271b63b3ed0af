// Peak memory of one replication cycle against the number of rows it sends.
//
//   cycle_memory_probe [LARGE [SMALL]]   (defaults 1000000 and 1000)
//       builds the backlog databases if needed, then runs one cycle of each size in a fresh child
//       process and prints both peaks and their ratio (goal: at most 1.2; the cycle streams rows
//       from the store and drops each batch once the central server accepts it, so its memory
//       should not grow with the backlog).
//   cycle_memory_probe --one N
//       the child: one cycle sending N rows to the stand-in server on a fresh central database;
//       prints "rows N maxrss_kb K seconds S" (getrusage ru_maxrss of this process alone, the
//       server being another process).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#include "cycle_bench_env.h"

namespace {

int One(std::int64_t rows) {
  const std::string store = cyclebench::DbDir() + "cycle-bench-" + std::to_string(rows) + ".fdb";
  char tmpl[] = "/tmp/cycle-memory-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  const std::string scratch = std::string(tmpl) + "/";
  double seconds = 0;
  {
    cyclebench::Central central(scratch + "central/");
    cyclebench::Agent agent(scratch + "agent/", store, central.port());
    const auto t0 = std::chrono::steady_clock::now();
    agent.Cycle();
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (central.Received() != rows || central.Index() != rows) {
      std::cerr << "cycle_memory_probe: the cycle sent " << central.Received() << " of " << rows << " rows\n";
      return 1;
    }
  }
  std::error_code ec;
  std::filesystem::remove_all(scratch, ec);
  rusage ru{};
  ::getrusage(RUSAGE_SELF, &ru);
  std::printf("rows %lld maxrss_kb %ld seconds %.1f\n", static_cast<long long>(rows), ru.ru_maxrss, seconds);
  return 0;
}

// Runs "--one rows" in a fresh process; returns its peak in KiB, or -1.
long Child(std::int64_t rows) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], 1);
    ::close(fds[0]);
    const std::string n = std::to_string(rows);
    ::execl("/proc/self/exe", "cycle_memory_probe", "--one", n.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string out;
  char buf[256];
  for (ssize_t k; (k = ::read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(k));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::cout << out << std::flush;
  long long r = 0;
  long kb = -1;
  double s = 0;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
      std::sscanf(out.c_str(), "rows %lld maxrss_kb %ld seconds %lf", &r, &kb, &s) != 3)
    return -1;
  return kb;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 3 && std::string(argv[1]) == "--one") return One(std::stoll(argv[2]));
    const std::int64_t large = argc > 1 ? std::stoll(argv[1]) : 1'000'000;
    const std::int64_t small = argc > 2 ? std::stoll(argv[2]) : 1'000;
    cyclebench::EnsureStore(small);
    cyclebench::EnsureStore(large);
    const long a = Child(small);
    const long b = Child(large);
    if (a <= 0 || b <= 0) {
      std::cerr << "cycle_memory_probe: a cycle failed\n";
      return 1;
    }
    const double ratio = static_cast<double>(b) / static_cast<double>(a);
    std::printf("peak of a cycle sending %lld rows / one sending %lld: %ld KiB / %ld KiB = ratio %.3f (goal <= 1.2 %s)\n",
                static_cast<long long>(large), static_cast<long long>(small), b, a, ratio,
                ratio <= 1.2 ? "met" : "NOT met");
  } catch (const std::exception& e) {
    std::cerr << "cycle_memory_probe: " << e.what() << "\n(start the server with scripts/firebird.sh start)\n";
    return 1;
  }
  return 0;
}
