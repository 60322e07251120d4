// The formats chosen by the output's ending, read back through their own
// decoders: FLAC holds exactly the WAV's samples, Opus the track's length
// and sound.
#include "audio/track_writer.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>

#include "support/decoded_audio.hpp"
#include "wav_test_support.hpp"

namespace {

using wavtest::fileBytes, wavtest::ScratchDir;
namespace fs = std::filesystem;

TEST(TrackWriter, FlacDecodesToExactlyTheSamplesOfTheWav) {
  ScratchDir dir("track-flac");
  // Odd lengths end mid-frame; out-of-range values and a NaN take the WAV's clamping.
  std::vector<float> x = speechLike(100003, 44100, 0.9f);
  x[10] = 1.5f, x[11] = -3.0f, x[12] = std::nanf("");
  for (const std::size_t n : {std::size_t{0}, std::size_t{1}, x.size()}) {
    SCOPED_TRACE(n);
    const std::span<const float> track(x.data(), n);
    ASSERT_TRUE(writeTrack(track, 44100.9, (dir / "a.wav").string()));
    ASSERT_TRUE(writeTrack(track, 44100.9, (dir / "a.flac").string()));
    const DecodedFlac flac = decodeFlac((dir / "a.flac").string());
    ASSERT_TRUE(flac.ok);  // every frame's CRC included
    EXPECT_EQ(flac.rate, 44100u);
    EXPECT_EQ(flac.channels * 100 + flac.bits, 116u);
    const auto wav = fileBytes(dir / "a.wav");
    std::vector<std::int16_t> wavSamples(n);
    for (std::size_t i = 0; i < n; ++i) wavSamples[i] = static_cast<std::int16_t>(wav[44 + 2 * i] | wav[45 + 2 * i] << 8);
    EXPECT_EQ(flac.samples, wavSamples);
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);  // no temporary left
}

TEST(TrackWriter, OpusKeepsTheLengthAtFortyEightKilohertzAndTheSound) {
  ScratchDir dir("track-opus");
  for (const double rate : {48000.0, 44100.0}) {
    SCOPED_TRACE(rate);
    const std::vector<float> x = speechLike(static_cast<std::size_t>(3 * rate) + 17, rate, 0.5f);
    const std::string path = (dir / "a.opus").string();
    ASSERT_TRUE(writeTrack(x, rate, path));
    int channels = 0;
    const std::vector<float> y = decodeOpus(path, &channels);
    EXPECT_EQ(channels, 1);
    const double want = static_cast<double>(x.size()) * 48000.0 / rate;
    EXPECT_NEAR(static_cast<double>(y.size()), want, 960.0);  // one 20 ms frame
    if (rate != 48000.0) continue;
    // Against the 16-bit samples the WAV would hold.
    double signal = 0.0, noise = 0.0;
    for (std::size_t i = 0; i < std::min(x.size(), y.size()); ++i) {
      const double s = std::trunc(x[i] * 32767.0) / 32767.0;
      signal += s * s;
      noise += (s - y[i]) * (s - y[i]);
    }
    EXPECT_GE(10.0 * std::log10(signal / noise), 20.0);
  }
}

TEST(TrackWriter, RefusalsLeaveNoFileAndSayWhy) {
  ScratchDir dir("track-refusals");
  const std::vector<float> x(480, 0.25f);
  for (const char* name : {"missing/a.flac", "missing/a.opus"}) {
    errno = 0;
    EXPECT_FALSE(writeTrack(x, 48000, (dir / name).string()));
    EXPECT_EQ(errno, ENOENT) << name;
  }
  // Rates the formats cannot describe.
  for (const auto& [name, rate] : {std::pair{"a.flac", 0.0}, {"a.flac", 2e6}, {"a.opus", 50.0}, {"a.opus", NAN}}) {
    errno = 0;
    EXPECT_EQ(TrackWriter::begin((dir / name).string(), x.size(), rate), nullptr);
    EXPECT_EQ(errno, EINVAL) << name << " " << rate;
  }
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

}  // namespace
