// The main thread's loop and its timers: ticks and tasks run on the loop's thread, switching a
// timer on starts a full interval, and an exception that escapes a tick does not end the loop.
#include "replication/main_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using replication::MainLoop;
using replication::TTimer;

TEST(MainLoop, TicksRunOnTheLoopThreadAndErrorsDoNotStopIt) {
  MainLoop loop;
  std::vector<std::string> errors;
  loop.SetExceptionHandler([&](const std::string& m) { errors.push_back(m); });
  std::thread::id tick_thread;
  int ticks = 0;
  TTimer timer(loop, 20, [&] {
    tick_thread = std::this_thread::get_id();
    if (++ticks == 1) throw std::runtime_error("falhou o ciclo");
    if (ticks == 3) loop.Quit();
  });
  loop.Run();
  EXPECT_EQ(tick_thread, std::this_thread::get_id());
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(errors, (std::vector<std::string>{"falhou o ciclo"}));
}

TEST(MainLoop, SwitchingOffStopsTicksAndOnStartsAFullInterval) {
  MainLoop loop;
  std::atomic<int> ticks{0};
  TTimer timer(loop, 50, [&] { ++ticks; }, /*enabled=*/false);
  EXPECT_FALSE(timer.Enabled());
  std::thread other([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(ticks.load(), 0);  // never switched on
    const auto on = std::chrono::steady_clock::now();
    timer.SetEnabled(true);  // from another thread, as the service thread does
    while (ticks.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GE(std::chrono::steady_clock::now() - on, std::chrono::milliseconds(45));
    timer.SetEnabled(false);
    const int seen = ticks.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_LE(ticks.load(), seen + 1);  // at most one tick that was already being handled
    loop.Quit();
  });
  loop.Run();
  other.join();
}

TEST(MainLoop, QuitBeforeRunIsNotLost) {
  MainLoop loop;
  loop.Quit();
  loop.Run();  // returns at once
  int ran = 0;
  loop.Post([&] { ++ran; loop.Quit(); });
  loop.Run();
  EXPECT_EQ(ran, 1);
}
