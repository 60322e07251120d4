// Recovery without a spool to recover, the spool folder's rules, and the
// finish's fall-back when the canceller runs out of memory (recovery of a
// killed recording: finish_stream_test.cpp).
#include "capture/spool_recover.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <unistd.h>

#include "aec/echo_canceller.hpp"
#include "aec/sample_source.hpp"
#include "audio/wav.hpp"
#include "audio/wav_test_support.hpp"
#include "capture/finish_write.hpp"
#include "audio/wav_float.hpp"
#include "capture/spool_claim.hpp"
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

// The start of a recording: what can never be written is refused before
// anything is made; a live recording's spool, an earlier take's and an empty
// one each get their answer.
TEST(SpoolClaim, RefusalsLiveRecordingsEarlierTakesAndEmptySpools) {
  ScratchDir dir("spool-claim");
  const std::string out = (dir / "call.wav").string();
  const SpoolPaths spool = spoolPaths(out);
  EXPECT_EQ(spool.sys + " " + spool.mic, out + ".spool/sys.wav " + out + ".spool/mic.wav");
  const auto refusal = [](const std::string& path, bool channels) {
    auto claim = claimSpool(path, channels);
    const std::string* text = std::get_if<std::string>(&claim);
    return text ? *text : std::string("claimed");
  };
  // (A missing folder, a folder or a device as the output: end-to-end.)
  // A channel file in the way counts only when both sources are recorded.
  std::filesystem::create_directory(dir / "chan.mic.wav");
  const std::string chan = (dir / "chan.wav").string();
  EXPECT_EQ(refusal(chan, true), "cannot record to " + (dir / "chan.mic.wav").string() + ": Is a directory");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1) << "nothing made";

  {
    auto live = claimSpool(out, true);
    ASSERT_TRUE(std::holds_alternative<SpoolLock>(live));
    EXPECT_TRUE(std::filesystem::exists(spool.lock));
    EXPECT_EQ(refusal(out, true),
              out + " is still being recorded (process " + std::to_string(::getpid()) + ")");
    EXPECT_EQ(lockSpoolForRecovery(out).failure, refusal(out, true));
  }
  // Its recording gone, the empty spool is taken over by the next one.
  EXPECT_EQ(refusal(out, true), "claimed");
  // One with samples is an earlier take, left for --recover.
  {
    std::ofstream track(spool.sys, std::ios::binary);
    const auto header = wavHeaderFloat32(1, 48000);
    track.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
    track.write("\0\0\0\0", 4);
  }
  EXPECT_EQ(refusal(out, true),
            "spool of an earlier recording exists: " + out + ".spool — run narup-capture --recover " + out);
  EXPECT_TRUE(removeSpool(spool));
  EXPECT_EQ(refusal(out, true), "claimed");
}

TEST(FinishWrite, ACancellerOutOfMemoryLeavesTheMicrophoneAsRecorded) {
  ScratchDir dir("finish-oom");
  const RecordedTracks t{tone(4800, 440, 48000, 0.4f), tone(4800, 300, 48000, 0.2f), 48000, 48000};
  const std::string out = (dir / "r.wav").string();
  const std::string err = errOf([&] {
    EXPECT_TRUE(writeRecording(t, true, out, []() -> std::unique_ptr<EchoCanceller> { throw std::bad_alloc(); }).empty());
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
                               [] { return EchoCanceller::create(); }, true).empty());
  });
  EXPECT_NE(err.find("narup-capture: [aec] adaptive applied=yes"), std::string::npos) << err;
  EXPECT_NE(err.find("echo cancellation applied (192000 frames)"), std::string::npos) << err;
  const size_t delta = err.find("micΔ=");
  ASSERT_NE(delta, std::string::npos) << err;
  EXPECT_LT(std::stod(err.substr(delta + std::string("micΔ=").size())), -20.0) << err;
}

}  // namespace
