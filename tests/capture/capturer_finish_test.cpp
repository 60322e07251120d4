// The capturer's stop request: once, the microphone first and waited for, the
// finish from the system source's stop completion, and which buffers it takes.
#include "capture_fixture.hpp"

namespace {

using ::testing::ElementsAre;

TEST_F(CaptureTest, MicrophoneStopsFirstAndTheFinishRunsOnceFromTheSystemStopCompletion) {
  make(true, true);
  startAndSettle();
  server->system->holdStop = true;
  cap->finishAndExit();
  cap->finishAndExit();  // a second signal: nothing more is stopped
  EXPECT_THAT(calls(), ElementsAre("open mic builtin-mic", "start mic", "open system",
                                   "start system", "stop mic", "stop system"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(exits.empty());  // the finish waits for the completion
  server->system->completeStop();
  ASSERT_TRUE(waitForExit());
  server->shared.join();
  cap->finishAndExit();
  ASSERT_EQ(exits.size(), 1u);
  EXPECT_EQ(exits[0].first, 0);
  EXPECT_NE(exits[0].second, std::this_thread::get_id());
}

TEST_F(CaptureTest, WithoutASystemSourceTheFinishRunsAtOnceOnTheCallingThread) {
  for (bool failedToOpen : {false, true}) {
    SCOPED_TRACE(failedToOpen ? "system failed to open" : "system not wanted");
    server = std::make_shared<scripted::Server>();
    server->inputs = {{"builtin-mic", "Built-in Mic", kTransportTypeBuiltIn}};
    server->systemError = "Connection refused";
    exits.clear();
    make(failedToOpen, true);
    startAndSettle();
    cap->finishAndExit();
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0].second, std::this_thread::get_id());
    EXPECT_EQ(calls().back(), "stop mic");
  }
}

TEST_F(CaptureTest, SystemSourceThatNeverStartedIsStillAskedToStop) {
  server->system->startError = "Timeout";
  make(true, false);
  startAndSettle();
  cap->finishAndExit();
  ASSERT_TRUE(waitForExit());
  EXPECT_EQ(calls().back(), "stop system");
}

TEST_F(CaptureTest, BuffersBeforeTheStopCompletionAreWrittenThoseAfterAreNot) {
  make(true, false);
  startAndSettle();
  server->system->holdStop = true;
  deliver(*server->system, 480, 0.5f);
  cap->finishAndExit();
  deliver(*server->system, 480, 0.5f);  // the source's last buffers
  server->system->completeStop();
  ASSERT_TRUE(waitForExit());
  deliver(*server->system, 480, 0.5f);  // after the take
  EXPECT_EQ(std::filesystem::file_size(outPath), 44u + 2 * 960u);
}

}  // namespace
