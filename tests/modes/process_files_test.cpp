// "--process-files" in process: status, exact lines, output kept on failure.
#include "modes/process_files.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "aec/echo_canceller.hpp"
#include "audio/wav.hpp"
#include "support/decoded_audio.hpp"
#include "support/stderr_capture.hpp"

namespace fs = std::filesystem;

class ProcessFiles : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir);
    ::setenv("HOME", "/nonexistent", 1);  // the canceller's log is not kept
    std::vector<float> x(72000);
    for (size_t i = 0; i < x.size(); ++i) x[i] = 0.2f * std::sin(0.07f * i) + 0.2f * std::sin(0.3f * i);
    writeWav16(x, 48000, mic);
    writeWav16(std::vector<float>(x.begin(), x.begin() + 44100), 44100.9, sys);
  }
  void TearDown() override { fs::remove_all(dir); }

  int run(const std::string& micPath, const std::string& sysPath, const std::string& out, bool noCanceller) {
    return processFilesWith(micPath, sysPath, out, [&] {
      ++cancellersAsked;
      return noCanceller ? nullptr : EchoCanceller::create();
    });
  }
  static std::string contentOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  const std::string dir = fs::temp_directory_path() / ("narup-process-files-" + std::to_string(::getpid()));
  const std::string mic = dir + "/mic.wav", sys = dir + "/sys.wav", missing = dir + "/missing.wav";
  int cancellersAsked = 0;
};

TEST_F(ProcessFiles, FailuresNameTheFirstUnusableInputAndLeaveTheOutputAlone) {
  const std::tuple<std::string, std::string, bool, std::string> cases[] = {
      {missing, sys, false, "cannot read mic wav: " + missing},
      {missing, dir, false, "cannot read mic wav: " + missing},
      {mic, dir, false, "cannot read sys wav: " + dir},
      {mic, sys, true, "EchoCanceller init failed"},
  };
  for (const auto& [micPath, sysPath, noCanceller, line] : cases) {
    std::ofstream(dir + "/out.wav") << "previous take";
    cancellersAsked = 0;
    StderrCapture err;
    EXPECT_EQ(run(micPath, sysPath, dir + "/out.wav", noCanceller), 1);
    EXPECT_EQ(err.text(), "narup-capture [FAIL] " + line + "\n");
    EXPECT_EQ(cancellersAsked, noCanceller ? 1 : 0);
    EXPECT_EQ(contentOf(dir + "/out.wav"), "previous take");
  }
}

TEST_F(ProcessFiles, WritesTheMicsLengthAtTheMicsRateUnderTheExactPath) {
  for (const std::string& out : {dir + "/out", dir + "/no-dir/out.wav"}) {  // the second cannot be written
    SCOPED_TRACE(out);
    StderrCapture err;
    EXPECT_EQ(run(mic, sys, out, false), 0);
    auto lines = err.lines();
    // The status stays; only a line after the "wrote" one says the file is missing.
    const bool missing = out.find("no-dir") != std::string::npos;
    ASSERT_GE(lines.size(), missing ? 3u : 2u);
    if (missing) {
      EXPECT_EQ(lines.back(), "narup-capture: [WARN] " + out + " not written: No such file or directory");
      lines.pop_back();
    }
    EXPECT_EQ(lines.front(), "narup-capture: process-files: mic 72000@48000 + sys 44100@44100");
    for (size_t i = 1; i + 1 < lines.size(); ++i) EXPECT_EQ(lines[i].rfind("narup-capture: [aec] ", 0), 0u);
    EXPECT_EQ(lines.back(), "narup-capture: wrote cleaned mic → " + out);
  }
  const std::string bytes = contentOf(dir + "/out");
  EXPECT_EQ(bytes.size(), 44u + 2 * 72000);
  EXPECT_EQ(bytes.substr(22, 6), std::string("\x01\x00\x80\xbb\x00\x00", 6));  // mono, 48 kHz
  EXPECT_FALSE(fs::exists(dir + "/out.wav") || fs::exists(dir + "/no-dir"));  // no name of its own
}

namespace {

// Real transforms whose short inverse comes out ten times too loud: every
// cleaned track fails the canceller's sanity check.
struct LoudFactory final : DftFactory {
  struct Loud final : Dft {
    explicit Loud(std::unique_ptr<Dft> d) : d(std::move(d)) {}
    void forwardReal(const float* in, std::complex<float>* out) override { d->forwardReal(in, out); }
    void inverseHermitian(std::complex<float>* in, float* out) override {
      d->inverseHermitian(in, out);
      for (int n = 0; n < 1024; ++n) out[n] *= 10.0f;
    }
    std::unique_ptr<Dft> d;
  };
  std::unique_ptr<Dft> create(int64_t length, DftDirection direction) override {
    std::unique_ptr<Dft> real = fftwDftFactory().create(length, direction);
    if (length != 1024 || direction != DftDirection::kInverse) return real;
    return std::make_unique<Loud>(std::move(real));
  }
};

}  // namespace

TEST_F(ProcessFiles, ARejectedResultReplacesTheOlderOutputWithTheMicrophoneAsRead) {
  const std::string out = dir + "/out.wav", expected = dir + "/expected.wav";
  writeWav16(std::vector<float>(5, 0.5f), 8000, out);  // an older file of that name
  writeWav16(readWav16(mic)->samples, 48000, expected);
  LoudFactory loud;
  StderrCapture err;
  EXPECT_EQ(processFilesWith(mic, sys, out, [&] { return EchoCanceller::create(loud); }), 0);
  EXPECT_NE(err.text().find("applied=no(reverted)"), std::string::npos) << err.text();
  EXPECT_EQ(contentOf(out), contentOf(expected));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 4);  // no temporary left
}

// Levelled after cleaning, or after a rejected cleaning, from the track the
// file gets: its loudness line before the "wrote" one.
TEST_F(ProcessFiles, WithALoudnessTargetTheFlacOutputIsLevelled) {
  LoudFactory loud;
  for (const bool rejected : {false, true}) {
    SCOPED_TRACE(rejected);
    const std::string out = dir + "/out.flac";
    StderrCapture err;
    EXPECT_EQ(processFilesWith(mic, sys, out, [&] { return rejected ? EchoCanceller::create(loud) : EchoCanceller::create(); }, -20.0), 0);
    const std::vector<std::string> lines = err.lines();
    ASSERT_GE(lines.size(), 2u);
    const std::string& level = lines[lines.size() - 2];
    EXPECT_TRUE(level.starts_with("narup-capture: loudness: ") && level.ends_with(" → -20.0 LUFS")) << level;
    std::vector<float> x;
    for (const std::int16_t v : decodeFlac(out).samples) x.push_back(static_cast<float>(v) / 32768.0f);
    EXPECT_EQ(x.size(), 72000u);
    EXPECT_NEAR(measureLoudness(x, 48000).lufs, -20.0, 0.5);
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 3);  // no scratch or temporary left
}
