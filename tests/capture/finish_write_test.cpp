// The finish's writing step on its own: resampling, the canceller (or its
// absence), the level and "wrote" lines in their order, and the files.
#include "capture/finish_write.hpp"

#include <cmath>

#include "aec/dft.hpp"
#include "aec/echo_canceller.hpp"
#include "audio/channel_path.hpp"
#include "audio/wav.hpp"
#include "capture_fixture.hpp"

namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;

// A transform maker that can prepare nothing: every canceller fails to set up.
class NoTransforms : public DftFactory {
 public:
  std::unique_ptr<Dft> create(int64_t, DftDirection) override { return nullptr; }
};

class FinishWriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/narup-finish-write-XXXXXX";
    dir = ::mkdtemp(tmpl);
    ::setenv("HOME", dir.c_str(), 1);
    out = dir + "/rec.wav";
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  // Far end: a 440 Hz tone at `sysRate`; microphone at `micRate`: its echo
  // at half level, 20 ms late.
  static RecordedTracks echo(size_t n, double sysRate, double micRate) {
    RecordedTracks t{{}, {}, sysRate, micRate};
    auto far = [&](double at) { return 0.4f * static_cast<float>(std::sin(2 * M_PI * 440 * at)); };
    for (size_t i = 0; i < n; ++i) t.sys.push_back(far(i / sysRate));
    for (size_t i = 0; i < static_cast<size_t>(n * micRate / sysRate); ++i) t.mic.push_back(0.5f * far(i / micRate - 0.02));
    return t;
  }
  std::vector<std::string> write(RecordedTracks tracks, bool echoCancel,
                                 const CancellerFactory& make = [] { return EchoCanceller::create(); }) {
    StderrCapture err;
    writeRecording(std::move(tracks), echoCancel, out, make);
    return err.lines();
  }

  std::string dir, out;
};

TEST_F(FinishWriteTest, BothSourcesAtDifferentRatesWithTheCancellerInOrder) {
  const std::vector<std::string> lines = write(echo(96000, 48000, 44100), true);
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[0], line("resampling mic 44100Hz → 48000Hz"));
  EXPECT_THAT(lines[1], StartsWith(line("[aec] ")));
  EXPECT_EQ(lines[2], line("echo cancellation applied (96000 frames)"));
  EXPECT_EQ(lines[3], line("sys: 96000 frames, peak 0.400, clip 0.0%"));
  // The cleaned echo is far below the recorded 0.2.
  ASSERT_THAT(lines[4], StartsWith(line("mic: 96000 frames, peak ")));
  EXPECT_LT(std::stof(lines[4].substr(line("mic: 96000 frames, peak ").size())), 0.1f);
  EXPECT_THAT(lines[5], StartsWith(line("normalize: ")));
  EXPECT_EQ(lines[6], line("wrote 96000 frames @ 48000Hz → " + out));
  EXPECT_THAT(lines[7], StartsWith(line("normalize: ")));  // microphone
  EXPECT_EQ(lines[8], line("normalize: peak 0.4000 × gain 2.38 → 0.950"));  // system
  EXPECT_EQ(lines[9], line("wrote channels → " + channelPath(out, "mic") + " + " + channelPath(out, "sys")));
  for (const std::string& path : {out, channelPath(out, "mic"), channelPath(out, "sys")}) {
    EXPECT_EQ(readWav16(path)->rate, 48000.0) << path;
  }
}

TEST_F(FinishWriteTest, WithoutACancellerTheMicrophoneIsWrittenAsRecorded) {
  NoTransforms none;
  for (bool echoCancel : {true, false}) {
    SCOPED_TRACE(echoCancel ? "canceller unavailable" : "cancellation off");
    // 48000.5 Hz is not resampled: the difference is not above 1 Hz.
    const std::vector<std::string> lines =
        write(echo(48000, 48000, 48000.5), echoCancel, [&] { return EchoCanceller::create(none); });
    EXPECT_EQ(lines[0], line("sys: 48000 frames, peak 0.400, clip 0.0%"));
    EXPECT_THAT(lines[1], StartsWith(line("mic: 48000 frames, peak 0.20")));
    EXPECT_EQ(lines.size(), 7u);
  }
}

TEST_F(FinishWriteTest, NoneOrOneSourceIsOnlyTheMixAtItsRate) {
  EXPECT_THAT(write({}, true), ElementsAre(line("sys: 0 frames, peak 0.000, clip 0.0%"),
                                           line("mic: 0 frames, peak 0.000, clip 0.0%"),
                                           line("wrote 0 frames @ 48000Hz → " + out)));
  EXPECT_EQ(std::filesystem::file_size(out), 44u);
  RecordedTracks micOnly{{}, std::vector<float>(4410, 0.5f), 0.0, 44100};
  EXPECT_THAT(write(micOnly, true), ElementsAre(line("sys: 0 frames, peak 0.000, clip 0.0%"),
                                                line("mic: 4410 frames, peak 0.500, clip 0.0%"),
                                                line("normalize: peak 0.5000 × gain 1.90 → 0.950"),
                                                line("wrote 4410 frames @ 44100Hz → " + out)));
  EXPECT_EQ(readWav16(out)->rate, 44100.0);
  RecordedTracks sysOnly{std::vector<float>(480, 0.25f), {}, 32000, 0.0};
  write(sysOnly, true);
  EXPECT_EQ(readWav16(out)->rate, 32000.0);
  EXPECT_NEAR(readWav16(out)->samples[0], 0.95f, 1.0f / 8192);  // 0.25 × 3.8
  EXPECT_FALSE(std::filesystem::exists(channelPath(out, "mic")));
  EXPECT_FALSE(std::filesystem::exists(channelPath(out, "sys")));
}

// A file that cannot be put in place is named with its reason (the lines
// stay as they are), each on its own: the others are still written.
TEST_F(FinishWriteTest, FilesThatCannotBePutInPlaceAreReportedWithTheirReason) {
  for (const char* name : {"/rec.wav", "/rec.flac"}) {
    SCOPED_TRACE(name);
    out = dir + name;
    std::filesystem::create_directory(channelPath(out, "sys"));  // a folder where the file goes
    StderrCapture err;
    const FinishReport report = writeRecording(
        RecordedTracks{std::vector<float>(960, 0.25f), std::vector<float>(960, 0.1f), 48000, 48000}, false, out);
    ASSERT_EQ(report.size(), 1u);
    EXPECT_EQ(report[0].path, channelPath(out, "sys"));
    EXPECT_EQ(report[0].error, EISDIR);
    EXPECT_TRUE(std::filesystem::is_regular_file(out) && std::filesystem::is_regular_file(channelPath(out, "mic")));
    EXPECT_EQ(err.lines().back(), line("wrote channels → " + channelPath(out, "mic") + " + " + channelPath(out, "sys")));
    StderrCapture lines;
    reportUnwritten(report, out, out + ".spool");
    EXPECT_EQ(lines.text(), "narup-capture: [WARN] " + channelPath(out, "sys") +
                                " not written: Is a directory — the take is kept in " + out +
                                ".spool; run narup-capture --recover " + out + "\n");
  }
}

TEST_F(FinishWriteTest, ShorterMicrophoneIsPaddedWithSilenceInTheMix) {
  write({std::vector<float>(960, 0.25f), std::vector<float>(480, 0.25f), 48000, 48000}, false);
  std::optional<WavTrack> mix = readWav16(out);
  ASSERT_EQ(mix->samples.size(), 960u);
  // 0.5 where both play, 0.25 where the system plays alone; normalised to 0.95.
  EXPECT_NEAR(mix->samples[0], 0.95f, 1.0f / 8192);
  EXPECT_NEAR(mix->samples[959], 0.475f, 1.0f / 8192);
  std::optional<WavTrack> mic = readWav16(channelPath(out, "mic"));  // normalised on its own
  ASSERT_EQ(mic->samples.size(), 480u);
  EXPECT_NEAR(mic->samples[0], 0.95f, 1.0f / 8192);
}

}  // namespace
