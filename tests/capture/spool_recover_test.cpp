// Recovery without a spool to recover, the spool folder's rules, and the
// finish's fall-back when the canceller runs out of memory (recovery of a
// killed recording: finish_stream_test.cpp).
#include "capture/spool_recover.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "aec/echo_canceller.hpp"
#include "aec/sample_source.hpp"
#include "audio/wav.hpp"
#include "audio/wav_test_support.hpp"
#include "capture/finish_write.hpp"
#include "capture/spool_paths.hpp"
#include "support/stderr_capture.hpp"

namespace {

using wavtest::ScratchDir;

std::vector<float> tone(size_t n, float hz, double rate, float level) {
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) x[i] = level * std::sin(6.2831853f * hz * static_cast<float>(i / rate));
  return x;
}

template <typename Run>
std::string errOf(Run run) {  // standard error of run()
  StderrCapture capture;
  run();
  return capture.text();
}

std::pair<int, std::string> recover(const std::string& out) {  // its status and standard error
  int status = -1;
  std::string err = errOf([&] { status = recoverRecording(out, false); });
  return {status, err};
}

TEST(SpoolRecover, NothingToRecoverFailsWithStatusOneAndKeepsWhatIsThere) {
  ScratchDir dir("recover-none");
  const std::string out = (dir / "call.wav").string();
  const SpoolPaths spool = spoolPaths(out);
  const std::string noSpool = "narup-capture [FAIL] no spool to recover for " + out + ": " + out + ".spool";
  EXPECT_EQ(recover(out), std::pair(1, noSpool + "\n"));
  // A recording stopped before any buffer: an empty folder, taken away.
  std::filesystem::create_directory(spool.dir);
  EXPECT_EQ(recover(out), std::pair(1, noSpool + " holds no track\n"));
  EXPECT_FALSE(std::filesystem::exists(spool.dir));
  // A track that is not a spool file: reported, and the spool stays.
  std::filesystem::create_directory(spool.dir);
  std::ofstream(spool.mic) << "not a wave file at all, not even close to one....";
  EXPECT_EQ(recover(out), std::pair(1, "narup-capture [FAIL] cannot read spool track: " + spool.mic + "\n"));
  EXPECT_TRUE(std::filesystem::exists(spool.mic));
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(SpoolPaths, AnEarlierSpoolStopsTheNextRecordingUntilRemoved) {
  ScratchDir dir("spool-claim");
  const std::string out = (dir / "call.wav").string();
  const SpoolPaths spool = spoolPaths(out);
  EXPECT_EQ(spool.sys + " " + spool.mic, out + ".spool/sys.wav " + out + ".spool/mic.wav");
  EXPECT_FALSE(claimSpool(out));
  EXPECT_TRUE(std::filesystem::is_directory(spool.dir));
  EXPECT_EQ(claimSpool(out).value_or(""),
            "spool of an earlier recording exists: " + out + ".spool — run narup-capture --recover " + out);
  std::ofstream(spool.sys) << "x";
  EXPECT_TRUE(removeSpool(spool));
  EXPECT_FALSE(claimSpool(out));
}

TEST(FinishWrite, ACancellerOutOfMemoryLeavesTheMicrophoneAsRecorded) {
  ScratchDir dir("finish-oom");
  const RecordedTracks t{tone(4800, 440, 48000, 0.4f), tone(4800, 300, 48000, 0.2f), 48000, 48000};
  const std::string out = (dir / "r.wav").string();
  const std::string err = errOf([&] {
    EXPECT_TRUE(writeRecording(t, true, out, []() -> std::unique_ptr<EchoCanceller> { throw std::bad_alloc(); }));
  });
  EXPECT_EQ(err.find("echo cancellation applied"), std::string::npos) << err;
  EXPECT_EQ(readWav16(channelPath(out, "mic")).value_or(WavTrack{}).samples.size(), t.mic.size());
}

// The adaptive canceller runs in the finish when asked, with its own report,
// and removes far more of a pure echo than the track held.
TEST(FinishWrite, TheAdaptiveCancellerCleansWhenAsked) {
  ScratchDir dir("finish-adaptive");
  std::vector<float> far = tone(48000 * 4, 440, 48000, 0.4f);
  for (size_t i = 0; i < far.size(); ++i) far[i] += 0.2f * std::sin(0.37f * static_cast<float>(i % 977));
  std::vector<float> echo(far.size(), 0.0f);
  for (size_t i = 480; i < far.size(); ++i) echo[i] = 0.5f * far[i - 480];
  const SpanSource sys(far), mic(echo);
  const std::string out = (dir / "a.wav").string();
  const std::string err = errOf([&] {
    EXPECT_TRUE(writeRecording(TrackSources{sys, mic, 48000, 48000}, true, out,
                               [] { return EchoCanceller::create(); }, true));
  });
  EXPECT_NE(err.find("narup-capture: [aec] adaptive applied=yes"), std::string::npos) << err;
  EXPECT_NE(err.find("echo cancellation applied (192000 frames)"), std::string::npos) << err;
  const size_t delta = err.find("micΔ=");
  ASSERT_NE(delta, std::string::npos) << err;
  EXPECT_LT(std::stod(err.substr(delta + std::string("micΔ=").size())), -20.0) << err;
}

}  // namespace
