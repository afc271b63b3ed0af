// The main thread's message loop and its window-style timers.
//
// Posted tasks and timer ticks run on the thread that calls Run(), one at a time. A timer is
// periodic while enabled; switching it on (from any thread) starts a full interval anew, switching
// it off cancels it. Ticks never pile up: one that falls due while a handler runs comes once, after.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace replication {

class TTimer;

class MainLoop {
 public:
  using Clock = std::chrono::steady_clock;

  MainLoop() = default;
  MainLoop(const MainLoop&) = delete;
  MainLoop& operator=(const MainLoop&) = delete;

  // Takes and handles tasks and ticks until Quit(). An exception that escapes one of them goes to
  // the exception handler, and the loop goes on.
  void Run();
  void Quit();  // any thread
  void Post(std::function<void()> task);  // any thread
  void SetExceptionHandler(std::function<void(const std::string& message)> handler);

 private:
  friend class TTimer;
  void Attach(TTimer* t);
  void Detach(TTimer* t);
  void Wake();

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  std::set<TTimer*> timers_;
  bool quit_ = false;
  std::function<void(const std::string&)> on_exception_;
};

class TTimer {
 public:
  // Armed at once when `enabled`, as a timer component is when it is created.
  TTimer(MainLoop& loop, std::uint32_t interval_ms, std::function<void()> on_timer, bool enabled = true);
  ~TTimer();
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

  bool Enabled() const;
  // Acts only when the value changes: on starts a full interval, off cancels.
  void SetEnabled(bool enabled);
  std::uint32_t Interval() const { return interval_ms_; }

 private:
  friend class MainLoop;
  MainLoop& loop_;
  const std::uint32_t interval_ms_;
  std::function<void()> on_timer_;
  // Guarded by loop_.mu_.
  bool enabled_ = false;
  MainLoop::Clock::time_point due_{};
};

}  // namespace replication
