// The finish's writing step on its own: what happens to the microphone when
// the echo canceller cannot be had.
#include "capture/finish_write.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "aec/dft.hpp"
#include "aec/echo_canceller.hpp"
#include "audio/wav.hpp"
#include "support/stderr_capture.hpp"

namespace {

// A transform maker that can prepare nothing: every canceller fails to set up.
class NoTransforms : public DftFactory {
 public:
  std::unique_ptr<Dft> create(int64_t, DftDirection) override { return nullptr; }
};

class FinishWriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() /
          ("narup-finish-write-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    ::setenv("HOME", dir.c_str(), 1);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  // Far end: a 440 Hz tone; microphone: its echo at half level.
  static RecordedTracks echoOnly(size_t n) {
    RecordedTracks t;
    t.sysRate = t.micRate = 48000.0;
    for (size_t i = 0; i < n; ++i) {
      const float s = 0.4f * std::sin(static_cast<float>(i) * 0.0575958653f);
      t.sys.push_back(s);
      t.mic.push_back(0.5f * s);
    }
    return t;
  }

  std::filesystem::path dir;
};

TEST_F(FinishWriteTest, WithoutACancellerTheMicrophoneIsWrittenAsRecorded) {
  const std::string out = (dir / "rec.wav").string();
  NoTransforms none;
  std::string err;
  {
    StderrCapture capture;
    writeRecording(echoOnly(48000), true, out, [&] { return EchoCanceller::create(none); });
    err = capture.text();
  }
  EXPECT_EQ(err.find("[aec]"), std::string::npos) << err;
  EXPECT_EQ(err.find("echo cancellation applied"), std::string::npos) << err;

  // Normalised on its own, the untouched echo is the far end's shape at 0.95.
  const auto mic = readWav16((dir / "rec.mic.wav").string());
  const auto sys = readWav16((dir / "rec.sys.wav").string());
  ASSERT_TRUE(mic && sys);
  ASSERT_EQ(mic->samples.size(), 48000u);
  for (size_t i = 0; i < mic->samples.size(); i += 997) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(mic->samples[i], sys->samples[i], 2.0f / 32768.0f);
  }
}

TEST_F(FinishWriteTest, WithTheCancellerTheEchoGoes) {
  const std::string out = (dir / "rec.wav").string();
  std::string err;
  {
    StderrCapture capture;
    writeRecording(echoOnly(48000), true, out);
    err = capture.text();
  }
  EXPECT_NE(err.find("narup-capture: echo cancellation applied (48000 frames)\n"), std::string::npos)
      << err;
  // The cleaned echo is far below the recorded one (-21.6 dB at the floor),
  // which the level line shows before any normalisation.
  const size_t at = err.find("narup-capture: mic: 48000 frames, peak ");
  ASSERT_NE(at, std::string::npos) << err;
  const float peakAfter = std::stof(err.substr(at + 39, 5));
  EXPECT_LT(peakAfter, 0.2f * 0.5f) << err;
}

}  // namespace
