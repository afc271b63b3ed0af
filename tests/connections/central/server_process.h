// Runs the stand-in central server as a child process on a free loopback port, for tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testutil {

class ServerProcess {
 public:
  // Starts `exe` with `args` plus "--bind 127.0.0.1 --port 0 --port-file <dir>/port --dump-file
  // <dir>/dump", waits until it listens, and stops it on destruction. stderr goes to <dir>/server.log.
  ServerProcess(const std::string& exe, const std::string& dir, std::vector<std::string> args);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  std::uint16_t port() const { return port_; }
  // What the server's store holds now (one line per branch and per stored row).
  std::string Dump() const;
  std::string Log() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string dir_;
  std::uint16_t port_ = 0;
};

}  // namespace testutil
