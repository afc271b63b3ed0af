#include "replication/main_loop.h"

#include <exception>

namespace replication {

void MainLoop::Run() {
  std::unique_lock lock(mu_);
  for (;;) {
    if (quit_) {
      quit_ = false;
      return;
    }
    std::function<void()> work;
    if (!tasks_.empty()) {
      work = std::move(tasks_.front());
      tasks_.pop_front();
    } else {
      // The earliest timer that is due, if any.
      TTimer* next = nullptr;
      for (TTimer* t : timers_)
        if (t->enabled_ && (!next || t->due_ < next->due_)) next = t;
      auto now = Clock::now();
      if (next && next->due_ <= now) {
        next->due_ = now + std::chrono::milliseconds(next->interval_ms_);
        TTimer* fired = next;
        work = [fired] { fired->on_timer_(); };
      } else if (next) {
        cv_.wait_until(lock, next->due_);
        continue;
      } else {
        cv_.wait(lock);
        continue;
      }
    }
    lock.unlock();
    try {
      work();
    } catch (const std::exception& e) {
      if (on_exception_) on_exception_(e.what());
    } catch (...) {
      if (on_exception_) on_exception_("Unknown exception");
    }
    lock.lock();
  }
}

void MainLoop::Quit() {
  std::lock_guard lock(mu_);
  quit_ = true;
  cv_.notify_all();
}

void MainLoop::Post(std::function<void()> task) {
  std::lock_guard lock(mu_);
  tasks_.push_back(std::move(task));
  cv_.notify_all();
}

void MainLoop::SetExceptionHandler(std::function<void(const std::string&)> handler) {
  std::lock_guard lock(mu_);
  on_exception_ = std::move(handler);
}

void MainLoop::Attach(TTimer* t) {
  std::lock_guard lock(mu_);
  timers_.insert(t);
}

void MainLoop::Detach(TTimer* t) {
  std::lock_guard lock(mu_);
  timers_.erase(t);
}

TTimer::TTimer(MainLoop& loop, std::uint32_t interval_ms, std::function<void()> on_timer, bool enabled)
    : loop_(loop), interval_ms_(interval_ms), on_timer_(std::move(on_timer)) {
  loop_.Attach(this);
  SetEnabled(enabled);
}

TTimer::~TTimer() { loop_.Detach(this); }

bool TTimer::Enabled() const {
  std::lock_guard lock(loop_.mu_);
  return enabled_;
}

void TTimer::SetEnabled(bool enabled) {
  std::lock_guard lock(loop_.mu_);
  if (enabled == enabled_) return;
  enabled_ = enabled;
  if (enabled) due_ = MainLoop::Clock::now() + std::chrono::milliseconds(interval_ms_);
  loop_.cv_.notify_all();
}

}  // namespace replication
