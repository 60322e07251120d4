#include "platform/dispatch/stop_signals.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>
#include <vector>

#include "main_loop_run.hpp"

namespace {

// Everything a stop handler saw. Handlers stay armed after a test, so the
// record lives for the process.
struct Arrivals {
  std::vector<std::thread::id> threads;
  int expected = 0;
};

Arrivals& arrivals() {
  static Arrivals* a = new Arrivals();
  return *a;
}

void armRecordingHandler(int expected) {
  arrivals() = Arrivals{};
  arrivals().expected = expected;
  armStopSignals([] {
    Arrivals& a = arrivals();
    a.threads.push_back(std::this_thread::get_id());
    if (static_cast<int>(a.threads.size()) == a.expected) MainQueue::shared().stop();
  });
}

TEST(StopSignals, DefaultActionsAreReplacedByAHandlerOfOurOwn) {
  armRecordingHandler(0);
  for (int signo : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signo);
    struct sigaction now {};
    ASSERT_EQ(::sigaction(signo, nullptr, &now), 0);
    EXPECT_NE(now.sa_handler, SIG_DFL);
    EXPECT_NE(now.sa_handler, SIG_IGN);  // an ignored signal would never be seen
  }
}

TEST(StopSignals, EachSignalBecomesOneHandlerCallOnTheMainThreadOnlyOnceTheLoopRuns) {
  armRecordingHandler(3);
  // The process survives all three: neither default action is left.
  ASSERT_EQ(::raise(SIGINT), 0);
  ASSERT_EQ(::raise(SIGTERM), 0);
  ASSERT_EQ(::raise(SIGINT), 0);
  // As during start(): nothing runs before the loop does.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(arrivals().threads.empty());
  ASSERT_TRUE(runMainLoopUntilStopped());
  ASSERT_EQ(arrivals().threads.size(), 3u);
  for (std::thread::id id : arrivals().threads) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(StopSignals, SignalTakenByAnotherThreadStillRunsTheHandlerOnTheMainThread) {
  armRecordingHandler(1);
  std::thread::id raiser;
  std::thread other([&] {
    raiser = std::this_thread::get_id();
    ::raise(SIGTERM);  // delivered to this very thread
  });
  other.join();
  ASSERT_TRUE(runMainLoopUntilStopped());
  ASSERT_EQ(arrivals().threads.size(), 1u);
  EXPECT_EQ(arrivals().threads[0], std::this_thread::get_id());
  EXPECT_NE(arrivals().threads[0], raiser);
}

TEST(StopSignals, ArmingAgainReplacesTheHandler) {
  int oldCalls = 0;
  armStopSignals([&] { ++oldCalls; });
  armRecordingHandler(1);
  ASSERT_EQ(::raise(SIGINT), 0);
  ASSERT_TRUE(runMainLoopUntilStopped());
  EXPECT_EQ(oldCalls, 0);
  EXPECT_EQ(arrivals().threads.size(), 1u);
}

}  // namespace
