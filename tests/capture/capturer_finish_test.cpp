#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "audio/wav.hpp"
#include "capture_fixture.hpp"
#include "platform/dispatch/main_queue.hpp"
#include "platform/dispatch/stop_signals.hpp"

namespace {

using ::testing::StartsWith;

bool exists(const std::string& path) { return std::filesystem::exists(path); }

// ---- Stop request ----------------------------------------------------------

TEST_F(CaptureTest, SecondStopDoesNothing) {
  make(true, true);
  cap->start();
  settle();
  cap->finishAndExit();
  cap->finishAndExit();
  ASSERT_TRUE(exits.waitFor(1));
  settle();
  cap->finishAndExit();
  settle();
  EXPECT_EQ(exits.statuses(), std::vector<int>{0});
  std::vector<std::string> calls = p.log.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "stopRunning"), 1);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "stopCapture"), 1);
}

TEST_F(CaptureTest, MicrophoneStopsBeforeTheStreamIsAskedAndTheFinishRunsFromItsCompletion) {
  make(true, true);
  cap->start();
  settle();
  cap->finishAndExit();
  ASSERT_TRUE(exits.waitFor(1));
  ASSERT_GE(p.log.indexOf("stopRunning"), 0);
  EXPECT_LT(p.log.indexOf("stopRunning"), p.log.indexOf("stopCapture"));
  EXPECT_NE(exits.threads()[0], std::this_thread::get_id());  // the stop completion's thread
  EXPECT_TRUE(exists(outPath));
}

TEST_F(CaptureTest, WithoutAStreamTheFinishRunsAtOnceOnTheCallingThread) {
  p.system->script.contentError = "declined";
  make(true, true);
  cap->start();
  settle();
  cap->finishAndExit();
  // Before finishAndExit returned, on this thread, after the microphone stopped.
  ASSERT_EQ(exits.statuses(), std::vector<int>{0});
  EXPECT_EQ(exits.threads()[0], std::this_thread::get_id());
  EXPECT_TRUE(p.log.has("stopRunning"));
  EXPECT_FALSE(p.log.has("stopCapture"));
  EXPECT_TRUE(exists(outPath));
}

TEST_F(CaptureTest, StreamThatNeverStartedIsStillAskedToStop) {
  p.system->script.addOutputError = "no";
  make(true, false);
  cap->start();
  settle();
  ASSERT_FALSE(p.log.has("startCapture"));
  cap->finishAndExit();
  ASSERT_TRUE(exits.waitFor(1));
  EXPECT_TRUE(p.log.has("stopCapture"));
  EXPECT_NE(exits.threads()[0], std::this_thread::get_id());
}

TEST_F(CaptureTest, StopErrorStillWritesTheRecording) {
  p.system->script.stopError = "already stopped";
  make(true, false);
  cap->start();
  settle();
  deliverSys(*stream(), 48000, std::vector<float>(480, 0.5f));
  StderrCapture err;
  cap->finishAndExit();
  ASSERT_TRUE(exits.waitFor(1));
  EXPECT_EQ(err.lines().back(), line("wrote 480 frames @ 48000Hz → " + outPath));
}

TEST_F(CaptureTest, CapturerGoneBeforeTheFinishWorkExitsWritingNothing) {
  p.system->script.holdStop = true;
  make(true, false);
  cap->start();
  settle();
  deliverSys(*stream(), 48000, std::vector<float>(480, 0.5f));
  StderrCapture err;
  cap->finishAndExit();
  cap.reset();  // the completions held it only weakly
  stream()->releaseStop();
  ASSERT_TRUE(exits.waitFor(1));
  EXPECT_EQ(exits.statuses(), std::vector<int>{0});
  EXPECT_EQ(err.text(), "");
  EXPECT_FALSE(exists(outPath));
}

TEST_F(CaptureTest, TwoStopSignalsGiveOneFinishOnTheMainThread) {
  p.system->script.contentError = "declined";  // no stream: the finish runs in the handler
  make(true, true);
  // The main loop runs for the rest of the process, as in the tool; the
  // child ends with a block queued behind the second signal's handler.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const std::thread::id mainThread = std::this_thread::get_id();
        exits.onExit = [&] {
          MainQueue::shared().async([&] {
            const bool once = exits.statuses() == std::vector<int>{0} &&
                              exits.threads() == std::vector<std::thread::id>{mainThread};
            std::_Exit(once ? 0 : 1);
          });
        };
        armStopSignals([c = cap] { c->finishAndExit(); });
        ::raise(SIGINT);  // during start(): handled once the loop runs
        cap->start();
        ::raise(SIGTERM);
        MainQueue::shared().run();
      },
      ::testing::ExitedWithCode(0), "");
}

// ---- Taking the tracks -----------------------------------------------------

TEST_F(CaptureTest, BuffersDuringTheStopAreWrittenThoseAfterTheTakeAreNot) {
  p.system->script.holdStop = true;
  make(true, false);
  cap->start();
  settle();
  std::shared_ptr<scripted::ScriptedStream> s = stream();
  deliverSys(*s, 48000, std::vector<float>(4800, 0.25f));
  // After the take, inside the exit, more buffers arrive and are handled.
  exits.onExit = [s] {
    for (int i = 0; i < 5; ++i) s->deliver(scripted::monoFloat(48000, 480, 0.9f));
    s->flush();
  };
  StderrCapture err;
  cap->finishAndExit();
  // Still arriving while the stream stops: appended, and written.
  deliverSys(*s, 48000, std::vector<float>(960, 0.25f));
  s->releaseStop();
  ASSERT_TRUE(exits.waitFor(1));
  settle();
  std::optional<WavTrack> written = readWav16(outPath);
  ASSERT_TRUE(written);
  EXPECT_EQ(written->samples.size(), 5760u);
  EXPECT_NE(err.text().find("sys: 5760 frames, peak 0.250"), std::string::npos);
  // A later stop finds the finish done and writes nothing more.
  cap->finishAndExit();
  settle();
  EXPECT_EQ(exits.statuses().size(), 1u);
  EXPECT_EQ(readWav16(outPath)->samples.size(), 5760u);
}

// ---- Finish work -----------------------------------------------------------

TEST_F(CaptureTest, BothSourcesDifferentRatesWithEchoCancellationInOrder) {
  make(true, true, std::nullopt, /*echoCancel=*/true);
  cap->start();
  settle();
  // Two seconds of far end, and a microphone at another rate hearing a
  // delayed, quieter copy plus its own tone.
  const size_t sysN = 96000, micN = 88200;
  std::vector<float> far = tone(sysN, 48000, 440, 0.5f);
  std::vector<float> near = tone(micN, 44100, 300, 0.05f);
  for (size_t i = 0; i < micN; ++i) {
    size_t j = i * 48000 / 44100;
    if (j >= 960) near[i] += 0.3f * far[j - 960];
  }
  deliverSys(*stream(), 48000, far);
  deliverMic(44100, near);
  StderrCapture err;
  cap->finishAndExit();
  ASSERT_TRUE(exits.waitFor(1));
  std::vector<std::string> lines = err.lines();
  ASSERT_EQ(lines.size(), 10u) << err.text();
  EXPECT_EQ(lines[0], line("resampling mic 44100Hz → 48000Hz"));
  EXPECT_THAT(lines[1], StartsWith(line("[aec] ")));
  const std::string micFrames = std::to_string(readWav16(channelPath(outPath, "mic"))->samples.size());
  EXPECT_EQ(lines[2], line("echo cancellation applied (" + micFrames + " frames)"));
  EXPECT_EQ(lines[3], line("sys: 96000 frames, peak 0.500, clip 0.0%"));
  EXPECT_THAT(lines[4], StartsWith(line("mic: " + micFrames + " frames, peak ")));
  EXPECT_THAT(lines[5], StartsWith(line("normalize: ")));
  EXPECT_EQ(lines[6], line("wrote 96000 frames @ 48000Hz → " + outPath));
  EXPECT_THAT(lines[7], StartsWith(line("normalize: ")));  // microphone
  EXPECT_EQ(lines[8], line("normalize: peak 0.5000 × gain 1.90 → 0.950"));  // system
  EXPECT_EQ(lines[9], line("wrote channels → " + dir + "/rec.mic.wav + " + dir + "/rec.sys.wav"));

  for (const char* label : {"", "mic", "sys"}) {
    SCOPED_TRACE(label);
    std::string path = *label ? channelPath(outPath, label) : outPath;
    std::optional<WavTrack> t = readWav16(path);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->rate, 48000.0);
  }
  EXPECT_EQ(readWav16(outPath)->samples.size(), 96000u);
  EXPECT_EQ(readWav16(channelPath(outPath, "sys"))->samples.size(), 96000u);
  EXPECT_EQ(exits.statuses(), std::vector<int>{0});
}

TEST_F(CaptureTest, NearlyEqualRatesAreNotResampledAndNoCancellationWhenDisabled) {
  make(true, true, std::nullopt, /*echoCancel=*/false);
  cap->start();
  settle();
  deliverSys(*stream(), 48000, tone(4800, 48000, 440, 0.5f));
  deliverMic(48000.5, tone(4800, 48000, 300, 0.5f));
  StderrCapture err;
  cap->finishAndExit();
  ASSERT_TRUE(exits.waitFor(1));
  const std::string out = err.text();
  EXPECT_EQ(out.find("resampling"), std::string::npos);
  EXPECT_EQ(out.find("[aec]"), std::string::npos);
  EXPECT_EQ(out.find("echo cancellation applied"), std::string::npos);
  EXPECT_NE(out.find("wrote 4800 frames @ 48000Hz"), std::string::npos);
}

TEST_F(CaptureTest, MicrophoneOnlyIsWrittenAtItsRateWithoutCancellation) {
  make(true, true, std::nullopt, /*echoCancel=*/true);
  cap->start();
  settle();
  deliverMic(44100, tone(4410, 44100, 300, 0.5f));
  StderrCapture err;
  cap->finishAndExit();
  ASSERT_TRUE(exits.waitFor(1));
  EXPECT_EQ(err.lines(), (std::vector<std::string>{
                             line("sys: 0 frames, peak 0.000, clip 0.0%"),
                             line("mic: 4410 frames, peak 0.500, clip 0.0%"),
                             line("normalize: peak 0.5000 × gain 1.90 → 0.950"),
                             line("wrote 4410 frames @ 44100Hz → " + outPath)}));
  std::optional<WavTrack> t = readWav16(outPath);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->rate, 44100.0);
  EXPECT_FALSE(exists(channelPath(outPath, "mic")));
  EXPECT_FALSE(exists(channelPath(outPath, "sys")));
}

TEST_F(CaptureTest, SystemOnlyHoldsTheNormalisedSystemTrack) {
  make(true, false);
  cap->start();
  settle();
  deliverSys(*stream(), 48000, std::vector<float>(480, 0.25f));
  cap->finishAndExit();
  ASSERT_TRUE(exits.waitFor(1));
  std::optional<WavTrack> t = readWav16(outPath);
  ASSERT_TRUE(t);
  ASSERT_EQ(t->samples.size(), 480u);
  EXPECT_NEAR(t->samples[0], 0.95f, 1.0f / 8192);  // 0.25 × 3.8
  EXPECT_FALSE(exists(channelPath(outPath, "sys")));
}

TEST_F(CaptureTest, NoSamplesAtAllWritesAnEmptyFile) {
  make(true, true);
  cap->start();
  settle();
  StderrCapture err;
  cap->finishAndExit();
  ASSERT_TRUE(exits.waitFor(1));
  EXPECT_EQ(err.lines(), (std::vector<std::string>{
                             line("sys: 0 frames, peak 0.000, clip 0.0%"),
                             line("mic: 0 frames, peak 0.000, clip 0.0%"),
                             line("wrote 0 frames @ 48000Hz → " + outPath)}));
  EXPECT_EQ(std::filesystem::file_size(outPath), 44u);
}

TEST_F(CaptureTest, ShorterMicrophoneIsPaddedWithSilenceInTheMix) {
  make(true, true);
  cap->start();
  settle();
  deliverSys(*stream(), 48000, std::vector<float>(960, 0.25f));
  deliverMic(48000, std::vector<float>(480, 0.25f), 480);
  StderrCapture err;
  cap->finishAndExit();
  ASSERT_TRUE(exits.waitFor(1));
  std::optional<WavTrack> mix = readWav16(outPath);
  ASSERT_TRUE(mix);
  ASSERT_EQ(mix->samples.size(), 960u);
  // 0.5 where both play, 0.25 where the system plays alone; normalised to 0.95.
  EXPECT_NEAR(mix->samples[0], 0.95f, 1.0f / 8192);
  EXPECT_NEAR(mix->samples[959], 0.475f, 1.0f / 8192);
  // Channel files: each normalised on its own, at full length of its track.
  EXPECT_EQ(readWav16(channelPath(outPath, "mic"))->samples.size(), 480u);
  EXPECT_NEAR(readWav16(channelPath(outPath, "mic"))->samples[0], 0.95f, 1.0f / 8192);
  EXPECT_EQ(err.lines().back(), line("wrote channels → " + channelPath(outPath, "mic") + " + " +
                                     channelPath(outPath, "sys")));
}

}  // namespace
