// A service as the service control manager drives it: its status reports, the service thread with
// its request loop, and the handlers a concrete service overrides.
//
// Threads: Controller() runs on the dispatcher's thread and only queues the code; Main() runs on
// the service-main thread, which creates the service thread, waits for it and reports stopped; the
// start, execute, stop, pause, continue and shutdown handlers all run on the service thread, one
// request at a time in the order received.
#pragma once

#include "common/messages.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/service_host.h"

namespace service {

enum class TCurrentStatus : std::uint32_t {
  csStopped = 1,
  csStartPending = 2,
  csStopPending = 3,
  csRunning = 4,
  csContinuePending = 5,
  csPausePending = 6,
  csPaused = 7,
};

class TService;

// The text of an exception for a log line: what() or "Unknown exception".
std::string MessageOf(std::exception_ptr p);

class TServiceThread {
 public:
  explicit TServiceThread(TService& service) : service_(service) {}
  // Carries out queued control requests; with `wait_for_message` it blocks for the next one and
  // returns once the thread is terminated, otherwise it returns when the queue is empty.
  void ProcessRequests(bool wait_for_message);
  bool Terminated() const;
  void Terminate();
  // Whether one of `codes` is queued or being carried out right now.
  bool Waiting(std::initializer_list<std::uint32_t> codes) const;

 private:
  friend class TService;
  void Execute();  // the thread's body
  TService& service_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::uint32_t> queue_;
  std::uint32_t current_ = 0;  // the code being carried out, 0 between requests
  bool terminated_ = false;
};

class TService {
 public:
  TService(std::string name, std::string display_name);
  virtual ~TService();
  TService(const TService&) = delete;
  TService& operator=(const TService&) = delete;

  const std::string& Name() const { return def_.name; }
  const std::string& DisplayName() const { return def_.display_name.empty() ? def_.name : def_.display_name; }
  const ServiceDefinition& Definition() const { return def_; }
  std::uint32_t WaitHint() const { return wait_hint_; }
  // While a start or continue handler runs, the pending status is reported again this often, each
  // time with the next check point, so that the service control manager sees progress rather than a
  // hang. Half the wait hint, so a report always comes before the hint runs out.
  void SetProgressInterval(std::uint32_t ms) { progress_interval_ms_ = ms; }

  // Queues a control code for the service thread and returns at once. A code that arrives while
  // no service thread exists has nowhere to go and is dropped.
  void Controller(std::uint32_t code);
  // The framework's control callback for this service (a free function reaching the one instance).
  virtual ControlHandler GetServiceController() = 0;

  // Runs the service on the service-main thread: start pending, the service thread, stopped.
  void Main(const std::vector<std::string>& args);

  TCurrentStatus Status() const;
  void SetStatus(TCurrentStatus s);
  bool Terminated() const;
  // Whether one of `codes` is queued for the service thread or being carried out by it.
  bool ControlWaiting(std::initializer_list<std::uint32_t> codes) const;
  // True once a stop or shutdown has been carried out in this run: the process is on its way out.
  bool Stopping() const { return stopping_; }
  // True when the start handler refused or failed in this run: the process should say so.
  bool StartFailed() const { return start_failed_; }
  TServiceThread* ServiceThread() { return thread_.get(); }
  const std::vector<std::string>& Params() const { return params_; }

  // One entry of error type in the event log, with the service name as its source.
  virtual void LogMessage(const messages::Text& text);

  // Handlers; the defaults do nothing and accept every request.
  virtual void DoStart(bool& started) { (void)started; }
  virtual void DoExecute();
  virtual void DoStop(bool& stopped) { (void)stopped; }
  virtual void DoPause(bool& paused) { (void)paused; }
  virtual void DoContinue(bool& continued) { (void)continued; }
  virtual void DoShutdown() {}
  virtual void DoAfterInstall() {}
  virtual void DoAfterUninstall() {}

 protected:
  ServiceDefinition def_;

 protected:
  // Hands one status report to the service control manager; 0 or the system's error number.
  virtual int SendStatus(const StatusReport& report) { return host::SetStatus(report); }

 private:
  friend class TServiceThread;
  void ReportStatus();
  // Runs a start or continue handler, reporting progress while it lasts.
  template <class Handler>
  void WithProgress(Handler&& handler);

  std::uint32_t wait_hint_ = 5000;
  std::uint32_t progress_interval_ms_ = wait_hint_ / 2;
  bool allow_stop_ = true, allow_pause_ = true;
  mutable std::mutex status_mu_;
  TCurrentStatus status_ = TCurrentStatus::csStopped;
  std::uint32_t last_state_ = 0, last_check_point_ = 0;
  std::vector<std::string> params_;

  mutable std::mutex thread_mu_;  // guards thread_ against Controller() on the dispatcher thread
  std::unique_ptr<TServiceThread> thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> start_failed_{false};
};

}  // namespace service
