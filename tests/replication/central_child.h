// The stand-in central server as a child process that can be killed outright and started again on
// the same port, for the no-loss test and the cycle benchmarks. POSIX only.
//
// Unlike testutil::ServerProcess it passes no --dump-file (rewriting the dump after every change
// costs time proportional to what is stored, too much for large backlogs) and it exposes the kill.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace central_child {

class Server {
 public:
  // `dir` ends in '/'; the port file and the server's stderr (server.log) go there.
  Server(std::string exe, std::string dir, std::vector<std::string> args)
      : exe_(std::move(exe)), dir_(std::move(dir)), args_(std::move(args)) {}
  ~Server() { Kill(); }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Starts the server and waits until it listens. The first start picks a free port; later ones
  // take the same port again, so that a client configured once finds the server after a restart.
  void Start() {
    if (pid_ > 0) return;
    const std::string port_file = dir_ + "port";
    ::unlink(port_file.c_str());
    std::vector<std::string> all = {exe_, "--bind", "127.0.0.1", "--port", std::to_string(port_), "--port-file",
                                    port_file};
    all.insert(all.end(), args_.begin(), args_.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string log = dir_ + "server.log";
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
      int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (fd >= 0) ::dup2(fd, 2);
      ::execv(exe_.c_str(), argv.data());
      ::_exit(127);
    }
    pid_ = pid;
    for (int i = 0; i < 3000; ++i) {
      std::ifstream in(port_file);
      int port = 0;
      if (in >> port && port > 0) {
        port_ = static_cast<std::uint16_t>(port);
        return;
      }
      int status;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        throw std::runtime_error("the stand-in server ended at start; see " + log);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Kill();
    throw std::runtime_error("the stand-in server did not start; see " + log);
  }

  // SIGKILL: no goodbye on its connections, whatever it was doing is cut short.
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  bool Running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  std::uint16_t port() const { return port_; }
  std::string Log() const {
    std::ifstream in(dir_ + "server.log");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  std::string exe_, dir_;
  std::vector<std::string> args_;
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace central_child
