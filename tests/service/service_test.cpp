// The service framework: status reports, the request loop and its failure texts, driven the way
// the service control manager drives it (service-main thread, control codes from another thread).
#include "service/service.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <thread>

using service::TCurrentStatus;

namespace {

class RecordingService : public service::TService {
 public:
  RecordingService() : TService("Svc", "Svc display") {}
  service::ControlHandler GetServiceController() override { return nullptr; }

  // What the manager and the event log saw, and which handlers ran.
  std::vector<service::StatusReport> reports;
  std::vector<std::string> events, calls;
  std::function<void(const std::string&)> fail_in;  // throws for the named handler

  void DoStart(bool&) override { Call("start"); }
  void DoStop(bool&) override { Call("stop"); }
  void DoPause(bool&) override { Call("pause"); }
  void DoContinue(bool&) override { Call("continue"); }
  void DoShutdown() override { Call("shutdown"); }
  void LogMessage(const messages::Text& text) override {
    std::lock_guard lock(mu);
    events.push_back(text.str());
  }

  // Waits until `n` reports have been made.
  void WaitReports(std::size_t n) {
    std::unique_lock lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return reports.size() >= n; }));
  }
  std::vector<std::uint32_t> States() {
    std::lock_guard lock(mu);
    std::vector<std::uint32_t> s;
    for (auto& r : reports) s.push_back(r.current_state);
    return s;
  }

  std::mutex mu;
  std::condition_variable cv;

 protected:
  int SendStatus(const service::StatusReport& r) override {
    std::lock_guard lock(mu);
    reports.push_back(r);
    cv.notify_all();
    return 0;
  }

 private:
  void Call(const std::string& name) {
    {
      std::lock_guard lock(mu);
      calls.push_back(name);
    }
    if (fail_in) fail_in(name);
  }
};

// Runs the service on its own service-main thread, as the control dispatcher does.
struct Running {
  RecordingService& svc;
  std::thread main;
  explicit Running(RecordingService& s) : svc(s), main([&] { svc.Main({"Svc"}); }) {}
  ~Running() {
    if (main.joinable()) main.join();
  }
};

constexpr std::uint32_t kStopped = 1, kStartPending = 2, kStopPending = 3, kRunning = 4, kContinuePending = 5,
                        kPausePending = 6, kPaused = 7;

TEST(Service, StartReportsTwoStartPendingsThenRunningAndStopEndsIt) {
  RecordingService svc;
  Running run(svc);
  svc.WaitReports(3);
  svc.Controller(1);
  run.main.join();
  EXPECT_EQ(svc.States(), (std::vector<std::uint32_t>{kStartPending, kStartPending, kRunning, kStopPending, kStopped}));
  // While the start is pending no control is accepted; check points count repeated pendings.
  EXPECT_EQ(svc.reports[0].controls_accepted, 0u);
  EXPECT_EQ(svc.reports[0].check_point, 1u);
  EXPECT_EQ(svc.reports[1].check_point, 2u);
  EXPECT_EQ(svc.reports[2].controls_accepted, 7u);
  EXPECT_EQ(svc.reports[2].check_point, 0u);
  EXPECT_EQ(svc.reports[2].wait_hint, 5000u);
  EXPECT_EQ(svc.reports[2].service_type, 0x10u);
  EXPECT_EQ(svc.calls, (std::vector<std::string>{"start", "stop"}));
  EXPECT_TRUE(svc.events.empty());
}

TEST(Service, SlowStartAndContinueReportProgressWithRisingCheckPoints) {
  RecordingService svc;
  svc.SetProgressInterval(20);
  svc.fail_in = [](const std::string& h) {
    if (h == "start" || h == "continue") std::this_thread::sleep_for(std::chrono::milliseconds(200));
  };
  Running run(svc);
  svc.WaitReports(3);
  svc.Controller(3);
  svc.Controller(1);
  run.main.join();
  // Each pending state is reported again and again, one check point further each time, and never
  // after the state that ends it.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> seen;  // state, check point
  for (const auto& r : svc.reports) seen.emplace_back(r.current_state, r.check_point);
  auto run_of = [&](std::size_t from, std::uint32_t state, std::uint32_t first_check_point) {
    std::size_t i = from;
    while (i < seen.size() && seen[i].first == state) {
      EXPECT_EQ(seen[i].second, first_check_point + (i - from)) << "report " << i;
      ++i;
    }
    EXPECT_GE(i - from, 4u) << "progress reports of state " << state;
    return i;
  };
  std::size_t i = run_of(0, kStartPending, 1);
  ASSERT_LT(i, seen.size());
  EXPECT_EQ(seen[i++], std::make_pair(kRunning, 0u));
  i = run_of(i, kContinuePending, 0);
  ASSERT_LT(i, seen.size());
  EXPECT_EQ(seen[i++], std::make_pair(kRunning, 0u));
  EXPECT_EQ(std::vector(seen.begin() + static_cast<std::ptrdiff_t>(i), seen.end()),
            (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{kStopPending, 0u}, {kStopped, 0u}}));
}

TEST(Service, RequestsRunOneAtATimeInOrder) {
  RecordingService svc;
  Running run(svc);
  svc.WaitReports(3);
  for (std::uint32_t code : {2u, 4u, 3u, 200u, 2u, 1u}) svc.Controller(code);
  run.main.join();
  EXPECT_EQ(svc.States(), (std::vector<std::uint32_t>{kStartPending, kStartPending, kRunning,          //
                                                      kPausePending, kPaused, kPaused,                 // pause, interrogate
                                                      kContinuePending, kRunning,                      // continue; 200: nothing
                                                      kPausePending, kPaused, kStopPending, kStopped}));  // stop while paused
  EXPECT_EQ(svc.calls, (std::vector<std::string>{"start", "pause", "continue", "pause", "stop"}));
  EXPECT_TRUE(svc.events.empty());
}

TEST(Service, FailingRequestRestoresTheStatusAndIsReported) {
  RecordingService svc;
  svc.fail_in = [](const std::string& h) {
    if (h == "pause" || h == "continue") throw std::runtime_error("boom " + h);
  };
  Running run(svc);
  svc.WaitReports(3);
  svc.Controller(2);
  svc.Controller(1);
  run.main.join();
  EXPECT_EQ(svc.States(), (std::vector<std::uint32_t>{kStartPending, kStartPending, kRunning, kPausePending, kRunning,
                                                      kStopPending, kStopped}));
  EXPECT_EQ(svc.events, (std::vector<std::string>{"Falha do serviço em pausar: boom pause"}));
}

TEST(Service, ShutdownEndsTheServiceEvenWhenItsHandlerFails) {
  RecordingService svc;
  svc.fail_in = [](const std::string& h) {
    if (h == "shutdown") throw std::runtime_error("disk full");
  };
  Running run(svc);
  svc.WaitReports(3);
  svc.Controller(5);
  run.main.join();
  EXPECT_EQ(svc.States().back(), kStopped);
  EXPECT_EQ(svc.calls, (std::vector<std::string>{"start", "shutdown"}));  // no stop handler
  EXPECT_EQ(svc.events, (std::vector<std::string>{"Falha do serviço em desligar: disk full"}));
}

TEST(Service, FailingStartReportsStoppedAndTheReason) {
  RecordingService svc;
  svc.fail_in = [](const std::string& h) {
    if (h == "start") throw std::runtime_error("sem log");
  };
  Running run(svc);
  run.main.join();
  EXPECT_EQ(svc.States(), (std::vector<std::uint32_t>{kStartPending, kStartPending, kStopped}));
  EXPECT_EQ(svc.events, (std::vector<std::string>{"Falha do serviço em iniciar: sem log"}));
}

TEST(Service, CodeWithoutAServiceThreadIsDropped) {
  RecordingService svc;
  svc.Controller(1);  // nothing runs yet: must neither crash nor stop the next run
  Running run(svc);
  svc.WaitReports(3);
  EXPECT_EQ(svc.Status(), TCurrentStatus::csRunning);
  svc.Controller(1);
}

}  // namespace
