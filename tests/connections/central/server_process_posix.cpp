#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "server_process.h"
#include "test_util.h"

namespace testutil {

struct ServerProcess::Impl {
  pid_t pid = -1;

  // Ends the server, whatever state it is in. A server left running after its test would hold
  // the test's output open, and CTest waits for that output to end.
  ~Impl() {
    if (pid <= 0) return;
    // The Firebird client library takes over SIGTERM, so a server on a database may not end on
    // it: a short grace, then SIGKILL.
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
      if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
};

ServerProcess::ServerProcess(const std::string& exe, const std::string& dir, std::vector<std::string> args)
    : impl_(std::make_unique<Impl>()), dir_(dir) {
  std::remove((dir + "port").c_str());  // left by an earlier server in the same directory
  std::vector<std::string> all = {exe, "--bind", "127.0.0.1", "--port", "0", "--port-file", dir + "port",
                                  "--dump-file", dir + "dump"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string log = dir + "server.log";
  const pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // The server ends with the test, even when the test crashes.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) ::dup2(fd, 2);
    ::execv(exe.c_str(), argv.data());
    ::_exit(127);
  }
  impl_->pid = pid;
  // From here on a failure leaves through impl_, which ends the server.
  for (int i = 0; i < 1000; ++i) {
    if (Exists(dir + "port")) {
      port_ = static_cast<std::uint16_t>(std::stoi(ReadFile(dir + "port")));
      return;
    }
    int status;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      impl_->pid = -1;
      throw std::runtime_error("The stand-in server ended at start: " + Log());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("The stand-in server did not start");
}

ServerProcess::~ServerProcess() = default;

std::string ServerProcess::Dump() const { return Exists(dir_ + "dump") ? ReadFile(dir_ + "dump") : ""; }
std::string ServerProcess::Log() const { return Exists(dir_ + "server.log") ? ReadFile(dir_ + "server.log") : ""; }

}  // namespace testutil
