// The main loop runs for the rest of the process, as in the tool: the test
// runs it in a child that ends itself with its verdict (or by an alarm).
#include "platform/dispatch/stop_signals.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "platform/dispatch/main_queue.hpp"

// Blocks (queued before the loop, then from a thread) keep their order; four signals, one
// taken by another thread, are four calls of the last handler; all on the loop, once it runs.
[[noreturn]] static void signalQueueAndRunTheLoop() {
  ::alarm(10);
  static const std::thread::id loop = std::this_thread::get_id();
  static std::vector<int> seen;  // only touched on the loop
  static int signals = 0;
  static bool ok = true;
  static auto check = [] {
    ok = ok && std::this_thread::get_id() == loop;
    if (signals < 4 || seen.size() < 201) return;
    for (int i = 0; i < 201; ++i) ok = ok && seen[i] == i - 1;
    std::_Exit(ok ? 0 : 1);
  };
  MainQueue& mq = MainQueue::shared();
  mq.async([] { seen.push_back(-1); check(); });
  armStopSignals([] { std::_Exit(3); });  // replaced by the next arming
  armStopSignals([] { ++signals; check(); });
  ::raise(SIGINT);
  ::raise(SIGTERM);
  std::thread([&mq] {
    ::raise(SIGTERM);  // delivered to this thread
    for (int i = 0; i < 200; ++i) mq.async([i] { seen.push_back(i); check(); });
  }).join();
  ::raise(SIGINT);
  ::usleep(20000);
  if (signals != 0 || !seen.empty()) std::_Exit(4);  // as during start()
  mq.run();
}

TEST(StopSignalsDeathTest, SignalsAndBlocksBecomeCallsInOrderOnTheLoopThreadOnceItRuns) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(signalQueueAndRunTheLoop(), testing::ExitedWithCode(0), "");
}
