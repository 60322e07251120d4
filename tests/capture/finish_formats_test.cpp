// The finish in the formats and with the loudness levelling: each file's
// own line, its loudness and true peak as the loudness library measures the
// decoded file.
#include <cmath>

#include "aec/echo_canceller.hpp"
#include "audio/wav.hpp"
#include "capture/finish_write.hpp"
#include "capture_fixture.hpp"
#include "support/decoded_audio.hpp"

namespace {

using ::testing::StartsWith;

constexpr double kRate = 48000;

class FinishFormatsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/narup-finish-formats-XXXXXX";
    dir = ::mkdtemp(tmpl);
    ::setenv("HOME", dir.c_str(), 1);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  // Speech scaled to `lufs`, as the loudness library measures it.
  static std::vector<float> speechAt(double lufs, std::size_t n, int voice) {
    std::vector<float> x = speechLike(n + static_cast<std::size_t>(voice) * 1999, kRate, 0.1f);
    x.erase(x.begin(), x.begin() + voice * 1999);  // another stretch of it: not the other track's copy
    const auto g = static_cast<float>(std::pow(10.0, (lufs - measureLoudness(x, kRate).lufs) / 20.0));
    for (float& v : x) v *= g;
    return x;
  }
  std::vector<std::string> finish(const std::vector<float>& sys, const std::vector<float>& mic,
                                  const std::string& out, std::optional<double> loudness = -16.0) {
    const SpanSource s(sys), m(mic);
    StderrCapture err;
    EXPECT_TRUE(writeRecording(TrackSources{s, m, kRate, kRate, loudness}, false, out,
                               [] { return EchoCanceller::create(); })
                    .empty());
    return err.lines();
  }
  static std::vector<float> decoded(const std::string& path) {
    std::vector<float> x;
    for (const std::int16_t v : decodeFlac(path).samples) x.push_back(static_cast<float>(v) / 32768.0f);
    return x;
  }

  std::string dir;
};

TEST_F(FinishFormatsTest, EachFlacFileIsLevelledToTheTargetWithItsLine) {
  const std::string out = dir + "/call.flac";
  const std::vector<std::string> lines = finish(speechAt(-30, 10 * kRate, 0), speechAt(-24, 10 * kRate, 1), out);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_THAT(lines[2], StartsWith(line("loudness: ")));  // the mix's
  EXPECT_EQ(lines[3], line("wrote 480000 frames @ 48000Hz → " + out));
  EXPECT_EQ(lines[4], line("loudness: -24.0 LUFS × gain 2.51 → -16.0 LUFS"));
  EXPECT_EQ(lines[5], line("loudness: -30.0 LUFS × gain 5.01 → -16.0 LUFS"));
  EXPECT_EQ(lines[6], line("wrote channels → " + dir + "/call.mic.flac + " + dir + "/call.sys.flac"));
  for (const std::string& path : {out, channelPath(out, "mic"), channelPath(out, "sys")}) {
    EXPECT_NEAR(measureLoudness(decoded(path), kRate).lufs, -16.0, 0.5) << path;
  }
}

TEST_F(FinishFormatsTest, AClickKeepsTheTruePeakUnderTheCeilingAndSilenceItsGain) {
  std::vector<float> sys = speechAt(-30, 10 * kRate, 0);
  sys[123457] = 1.0f;  // full scale between two samples' worth of speech
  const std::string out = dir + "/click.flac";
  const std::vector<std::string> lines = finish(sys, {}, out);
  const MeasuredLoudness m = measureLoudness(decoded(out), kRate);
  EXPECT_LE(m.truePeakDb, -1.0);
  EXPECT_LT(m.lufs, -16.5);  // the ceiling, not the target, set the gain
  EXPECT_THAT(lines[2], StartsWith(line("loudness: -")));

  // 0.3 s of sound is too short for one 400 ms block: left as it is.
  const std::vector<float> shortTrack(static_cast<std::size_t>(0.3 * kRate), 0.25f);
  EXPECT_EQ(finish(shortTrack, {}, dir + "/short.wav")[2], line("loudness: silent or too short to gate — gain 1"));
  EXPECT_EQ(finish({}, {}, dir + "/empty.wav")[2], line("loudness: silent or too short to gate — gain 1"));
  const std::optional<WavTrack> wav = readWav16(dir + "/short.wav");
  EXPECT_EQ(wav->samples[0], 8191.0f / 32768.0f);
}

}  // namespace
