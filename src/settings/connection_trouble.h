// What the activity log hears of a connection that fails: the failure when it starts, naming the
// server, then at most hourly while it lasts (a cycle every ten seconds must not fill the log with
// the same line) unless its reason changes, and one line when it mends.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

#include "common/messages.h"

namespace settings {

class ConnectionTrouble {
 public:
  static constexpr std::chrono::hours kRepeat{1};
  using Clock = std::chrono::steady_clock;

  ConnectionTrouble(const messages::Entry& failed, const messages::Entry& mended) : failed_(failed), mended_(mended) {}

  // A failed attempt at `where` (host and port, or server and database). Logged when the trouble
  // starts, when its reason changes, when the last line is kRepeat old, and always with `always`
  // (a start or continue, which a technician watches).
  void Failed(const std::string& where, const std::string& error, bool always = false);
  // A successful attempt. When it had been failing, one "Reconectou" line, unless `quiet` (the
  // connection procedures log their own line).
  void Succeeded(const std::string& where, bool quiet = false);

  // For tests: the time as the tracker sees it.
  void SetClock(std::function<Clock::time_point()> clock) { clock_ = std::move(clock); }

 private:
  Clock::time_point Now() const { return clock_ ? clock_() : Clock::now(); }

  const messages::Entry& failed_;
  const messages::Entry& mended_;
  std::mutex mu_;
  bool failing_ = false;
  Clock::time_point logged_{};
  std::string since_;         // when it started failing, as the log shows times
  std::string logged_error_;  // the reason last logged
  std::function<Clock::time_point()> clock_;
};

}  // namespace settings
