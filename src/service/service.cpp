#include "service/service.h"

#include <chrono>
#include <exception>

namespace service {

namespace {

bool IsPending(std::uint32_t state) { return state == 2 || state == 3 || state == 5 || state == 6; }

// What the event log says of a handler that failed on `request`: an error that is an entry of its
// own as that entry, anything else as the handler's failure.
messages::Text FailureText(const char* request, std::exception_ptr p) {
  try {
    std::rethrow_exception(p);
  } catch (const messages::EventError& e) {
    return e.text();
  } catch (...) {
  }
  return messages::Format(messages::kEvServiceFailed, {request, MessageOf(p)});
}

// The request a handler failed on, as the event log names it.
const char* RequestName(std::uint32_t code) {
  switch (code) {
    case 1: return "parar";
    case 2: return "pausar";
    case 3: return "retomar";
    case 4: return "consultar";
    case 5: return "desligar";
  }
  return nullptr;
}

}  // namespace

std::string MessageOf(std::exception_ptr p) {
  try {
    std::rethrow_exception(p);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

TService::TService(std::string name, std::string display_name) {
  def_.name = std::move(name);
  def_.display_name = std::move(display_name);
}

TService::~TService() = default;

TCurrentStatus TService::Status() const {
  std::lock_guard lock(status_mu_);
  return status_;
}

void TService::SetStatus(TCurrentStatus s) {
  {
    std::lock_guard lock(status_mu_);
    status_ = s;
  }
  ReportStatus();
}

void TService::ReportStatus() {
  StatusReport r;
  {
    std::lock_guard lock(status_mu_);
    r.service_type = def_.service_type;
    r.current_state = static_cast<std::uint32_t>(status_);
    if (status_ != TCurrentStatus::csStartPending) {
      if (allow_stop_) r.controls_accepted |= 1;   // SERVICE_ACCEPT_STOP
      if (allow_pause_) r.controls_accepted |= 2;  // SERVICE_ACCEPT_PAUSE_CONTINUE
      r.controls_accepted |= 4;                    // SERVICE_ACCEPT_SHUTDOWN
    }
    r.wait_hint = wait_hint_;
    // A pending report that repeats the state before it counts one check point further.
    r.check_point = (IsPending(r.current_state) && r.current_state == last_state_) ? last_check_point_ + 1 : 0;
    last_state_ = r.current_state;
    last_check_point_ = r.check_point;
  }
  if (int err = SendStatus(r)) LogMessage(messages::Format(messages::kEvSystemError, {os::SysErrorMessage(err)}));
}

template <class Handler>
void TService::WithProgress(Handler&& handler) {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  std::thread ticker([&] {
    std::unique_lock lock(mu);
    while (!cv.wait_for(lock, std::chrono::milliseconds(progress_interval_ms_), [&] { return done; })) {
      lock.unlock();
      ReportStatus();  // the same pending state again: the check point rises
      lock.lock();
    }
  });
  // The ticker has ended before the handler's outcome is reported, so no stale pending report can
  // follow it.
  struct Stop {
    std::mutex& mu;
    std::condition_variable& cv;
    bool& done;
    std::thread& ticker;
    ~Stop() {
      {
        std::lock_guard lock(mu);
        done = true;
      }
      cv.notify_all();
      ticker.join();
    }
  } stop{mu, cv, done, ticker};
  handler();
}

bool TService::Terminated() const {
  std::lock_guard lock(thread_mu_);
  return thread_ ? thread_->Terminated() : false;
}

bool TService::ControlWaiting(std::initializer_list<std::uint32_t> codes) const {
  std::lock_guard lock(thread_mu_);
  return thread_ && thread_->Waiting(codes);
}

void TService::LogMessage(const messages::Text& text) { os::WriteEventLog(def_.name, text); }

void TService::Controller(std::uint32_t code) {
  std::lock_guard lock(thread_mu_);
  if (!thread_) return;  // no service thread to carry it out
  {
    std::lock_guard q(thread_->mu_);
    thread_->queue_.push_back(code);
  }
  thread_->cv_.notify_all();
}

void TService::Main(const std::vector<std::string>& args) {
  params_ = args;
  stopping_ = false;
  {
    // The first report of a run follows a start-pending report with check point 0.
    std::lock_guard lock(status_mu_);
    last_state_ = static_cast<std::uint32_t>(TCurrentStatus::csStartPending);
    last_check_point_ = 0;
  }
  std::exception_ptr failure;
  try {
    SetStatus(TCurrentStatus::csStartPending);
    TServiceThread* t;
    {
      std::lock_guard lock(thread_mu_);
      thread_ = std::make_unique<TServiceThread>(*this);
      t = thread_.get();
    }
    std::thread worker([t] { t->Execute(); });
    worker.join();
    std::lock_guard lock(thread_mu_);
    thread_.reset();
  } catch (...) {
    failure = std::current_exception();
  }
  try {
    SetStatus(TCurrentStatus::csStopped);
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  if (failure) LogMessage(FailureText("executar", failure));
}

void TService::DoExecute() {
  while (!Terminated()) ServiceThread()->ProcessRequests(true);
}

bool TServiceThread::Terminated() const {
  std::lock_guard lock(mu_);
  return terminated_;
}

bool TServiceThread::Waiting(std::initializer_list<std::uint32_t> codes) const {
  std::lock_guard lock(mu_);
  for (std::uint32_t c : codes) {
    if (c == current_) return true;
    for (std::uint32_t q : queue_)
      if (q == c) return true;
  }
  return false;
}

void TServiceThread::Terminate() {
  std::lock_guard lock(mu_);
  terminated_ = true;
  cv_.notify_all();
}

void TServiceThread::Execute() {
  try {
    service_.SetStatus(TCurrentStatus::csStartPending);
    bool started = true;
    service_.WithProgress([&] { service_.DoStart(started); });
    if (!started) {
      service_.start_failed_ = true;
      return;
    }
  } catch (...) {
    service_.start_failed_ = true;
    service_.LogMessage(FailureText("iniciar", std::current_exception()));
    return;
  }
  try {
    service_.SetStatus(TCurrentStatus::csRunning);
    service_.DoExecute();
    ProcessRequests(false);
  } catch (...) {
    service_.LogMessage(FailureText("executar", std::current_exception()));
  }
}

void TServiceThread::ProcessRequests(bool wait_for_message) {
  for (;;) {
    std::uint32_t code;
    {
      std::unique_lock lock(mu_);
      if (terminated_ && wait_for_message) return;
      if (wait_for_message) {
        cv_.wait(lock, [&] { return !queue_.empty(); });
      } else if (queue_.empty()) {
        return;
      }
      code = queue_.front();
      queue_.pop_front();
      current_ = code;
    }
    struct Done {
      TServiceThread& t;
      ~Done() {
        std::lock_guard lock(t.mu_);
        t.current_ = 0;
      }
    } done{*this};
    const TCurrentStatus before = service_.Status();
    try {
      switch (code) {
        case 1: {
          service_.SetStatus(TCurrentStatus::csStopPending);
          bool stopped = true;
          service_.DoStop(stopped);
          if (stopped) {
            service_.stopping_ = true;
            Terminate();
          } else {
            service_.SetStatus(before);
          }
          break;
        }
        case 2: {
          service_.SetStatus(TCurrentStatus::csPausePending);
          bool paused = true;
          service_.DoPause(paused);
          // A paused service thread only waits for the next control code, which this loop does.
          service_.SetStatus(paused ? TCurrentStatus::csPaused : before);
          break;
        }
        case 3: {
          service_.SetStatus(TCurrentStatus::csContinuePending);
          bool continued = true;
          service_.WithProgress([&] { service_.DoContinue(continued); });
          service_.SetStatus(continued ? TCurrentStatus::csRunning : before);
          break;
        }
        case 4: service_.ReportStatus(); break;
        case 5: {
          service_.SetStatus(TCurrentStatus::csStopPending);
          service_.stopping_ = true;
          try {
            service_.DoShutdown();
          } catch (...) {
            Terminate();
            throw;
          }
          Terminate();
          break;
        }
        default: break;  // user-defined codes mean nothing to this service
      }
    } catch (...) {
      const std::string msg = MessageOf(std::current_exception());
      if (code != 5) {
        try {
          service_.SetStatus(before);
        } catch (...) {
        }
      }
      if (const char* name = RequestName(code))
        service_.LogMessage(messages::Format(messages::kEvServiceFailed, {name, msg}));
      else
        service_.LogMessage(messages::Format(messages::kEvServiceFailedCustom, {std::to_string(code), msg}));
    }
  }
}

}  // namespace service
