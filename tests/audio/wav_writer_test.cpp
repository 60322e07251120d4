// The WAV writer: exact header bytes, the sample conversion, the refusals
// for what the 32-bit header cannot hold, and what happens at the path.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "wav_test_support.hpp"

namespace {

using wavtest::fileBytes;
using wavtest::ScratchDir;

int16_t sampleAt(const std::vector<std::uint8_t>& f, size_t i) {
  return static_cast<int16_t>(f.at(44 + 2 * i) | (f.at(45 + 2 * i) << 8));
}

TEST(WavWriter, HeaderIsTheCanonicalFortyFourBytesWithTruncatedRate) {
  ScratchDir dir("wav-writer");
  const auto path = (dir / "h.wav").string();
  const std::vector<float> x = {0.0f, 0.5f, -0.5f};
  writeWav16(x, 44100.7, path);
  const std::vector<std::uint8_t> want = {
      'R', 'I', 'F', 'F', 42, 0, 0, 0,  // 36 + 2 * 3
      'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0,
      1, 0,                        // integer PCM
      1, 0,                        // mono
      0x44, 0xAC, 0, 0,            // 44100
      0x88, 0x58, 0x01, 0,         // 88200
      2, 0, 16, 0,                 // block align, bits
      'd', 'a', 't', 'a', 6, 0, 0, 0,
      0, 0, 0xFF, 0x3F, 0x01, 0xC0};  // 0, 16383, -16383
  EXPECT_EQ(fileBytes(path), want);
}

TEST(WavWriter, SamplesConvertWithClampNaNAndTruncation) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    float x;
    int16_t want;
  };
  const Case cases[] = {
      {1.0f, 32767},   {2.0f, 32767},      {inf, 32767},      {nan, 32767},   {-nan, 32767},
      {-1.0f, -32767}, {-2.0f, -32767},    {-inf, -32767},    {0.99999f, 32766},
      {0.5f, 16383},   {-0.5f, -16383},    {0.0f, 0},         {-0.0f, 0},
      {-1e-9f, 0},     {1e-9f, 0},         // truncated toward zero, not rounded
      {0.0002f, 6},      {-0.0002f, -6},  // 6.5534 truncates to 6
      {-0.99999f, -32766}, {std::nextafter(1.0f, 0.0f), 32766},
  };
  ScratchDir dir("wav-writer");
  const auto path = (dir / "c.wav").string();
  std::vector<float> x;
  for (const Case& c : cases) x.push_back(c.x);
  writeWav16(x, 48000, path);
  const auto f = fileBytes(path);
  ASSERT_EQ(f.size(), 44 + 2 * x.size());
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE("sample " + std::to_string(cases[i].x));
    EXPECT_EQ(sampleAt(f, i), cases[i].want);
  }
}

TEST(WavWriter, EmptyTrackIsFortyFourBytesAndNotReadBack) {
  ScratchDir dir("wav-writer");
  const auto path = (dir / "e.wav").string();
  writeWav16({}, 48000, path);
  EXPECT_EQ(fileBytes(path).size(), 44u);
  EXPECT_FALSE(readWav16(path));
}

TEST(WavWriter, ReplacesALongerFile) {
  ScratchDir dir("wav-writer");
  const auto path = (dir / "r.wav").string();
  writeWav16(std::vector<float>(1000, 0.25f), 8000, path);
  writeWav16(std::vector<float>(3, -0.25f), 8000, path);
  const auto t = readWav16(path);
  ASSERT_TRUE(t);
  EXPECT_EQ(fileBytes(path).size(), 50u);
  EXPECT_EQ(t->samples.size(), 3u);
}

TEST(WavWriter, UnwritablePathIsIgnoredAndLeavesNoFile) {
  ScratchDir dir("wav-writer");
  const auto path = dir / "missing" / "x.wav";
  writeWav16(std::vector<float>(10, 0.1f), 48000, path.string());
  EXPECT_FALSE(std::filesystem::exists(path));
  writeWav16(std::vector<float>(10, 0.1f), 48000, dir.path().string());  // a directory
  EXPECT_TRUE(std::filesystem::is_directory(dir.path()));
}

TEST(WavWriter, RatesTheHeaderCannotHoldWriteNoFile) {
  ScratchDir dir("wav-writer");
  const double bad[] = {std::nan(""), std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity(), -1.0, -0.5,
                        2147483648.0, 4294967296.0, 1e300};
  const std::vector<float> x(4, 0.25f);
  for (const double rate : bad) {
    SCOPED_TRACE(rate);
    const auto path = dir / "bad.wav";
    writeWav16(x, rate, path.string());
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(wavHeader16(4, rate));
  }
}

uint32_t u32At(const std::array<std::byte, kWavHeaderSize>& h, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v |= std::to_integer<uint32_t>(h[at + i]) << (8 * i);
  return v;
}

TEST(WavWriter, HeaderLimitsSitExactlyAtTheThirtyTwoBitBoundaries) {
  // The largest rate: the byte rate (rate * 2) still fits.
  const auto top = wavHeader16(1, 2147483647.9);
  ASSERT_TRUE(top);
  EXPECT_EQ(u32At(*top, 24), 2147483647u);
  EXPECT_EQ(u32At(*top, 28), 4294967294u);
  const auto zero = wavHeader16(1, 0.0);
  ASSERT_TRUE(zero);
  EXPECT_EQ(u32At(*zero, 24), 0u);
  const auto tiny = wavHeader16(1, 0.9);
  ASSERT_TRUE(tiny);
  EXPECT_EQ(u32At(*tiny, 24), 0u);
  // The longest track: 36 + 2n = 2^32 - 2.
  const auto longest = wavHeader16(2147483629, 48000);
  ASSERT_TRUE(longest);
  EXPECT_EQ(u32At(*longest, 4), 4294967294u);
  EXPECT_EQ(u32At(*longest, 40), 4294967258u);
  EXPECT_FALSE(wavHeader16(2147483630, 48000));
  EXPECT_FALSE(wavHeader16(std::numeric_limits<size_t>::max(), 48000));
}

}  // namespace
