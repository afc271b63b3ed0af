// A transport that plays a server's answers from memory: the client talks to it as to a socket,
// so the whole exchange runs without a network (tests and fuzzing).
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "connections/central/dbx_connection.h"

namespace centraltest {

class MemoryTransport : public central::Transport {
 public:
  // `answers`: every byte the server sends, in order; after the last the server has closed.
  // `piece`: the most one Receive returns.
  explicit MemoryTransport(std::string_view answers, std::size_t piece = SIZE_MAX) : answers_(answers), piece_(piece) {}

  void Send(const char* data, std::size_t size, net::Millis) override {
    if (fail_sends) throw net::NetError("Sending to the server failed: the connection was reset");
    sent.append(data, size);
  }
  std::size_t Receive(char* buffer, std::size_t capacity, net::Millis timeout) override {
    waits.push_back(timeout);
    if (pause.count() > 0) std::this_thread::sleep_for(pause);
    std::size_t n = std::min({capacity, answers_.size(), piece_});
    std::memcpy(buffer, answers_.data(), n);
    answers_.remove_prefix(n);
    return n;
  }

  std::string sent;                // what the client sent
  std::vector<net::Millis> waits;  // the time each Receive was allowed to wait
  bool fail_sends = false;
  net::Millis pause{0};  // before each Receive returns, so that the clock moves on

 private:
  std::string_view answers_;
  std::size_t piece_;
};

}  // namespace centraltest
