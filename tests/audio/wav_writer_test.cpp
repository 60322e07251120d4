// The WAV writer: exact header bytes, the sample conversion, the refusals
// for what the header cannot hold, the replacement of an older file
// only by a complete one; and the per-channel file names.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cmath>
#include <limits>

#include "wav_test_support.hpp"

namespace {

using wavtest::fileBytes, wavtest::ScratchDir;
namespace fs = std::filesystem;

TEST(WavWriter, CanonicalHeaderThenSamplesClampedAndTruncated) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  const std::pair<float, int16_t> cases[] = {
      {0.0f, 0},          {0.5f, 16383},    {-0.5f, -16383}, {1.0f, 32767},       {2.0f, 32767}, {inf, 32767},
      {nan, 32767},       {-nan, 32767},    {-1.0f, -32767}, {-2.0f, -32767},     {-inf, -32767}, {0.99999f, 32766},
      {-0.0f, 0},         {-1e-9f, 0},      {1e-9f, 0},      {0.0002f, 6},        {-0.0002f, -6},  // toward zero
      {-0.99999f, -32766}, {std::nextafter(1.0f, 0.0f), 32766}};
  ScratchDir dir("wav-writer");
  std::vector<float> x;
  for (const auto& c : cases) x.push_back(c.first);
  EXPECT_TRUE(writeWav16(x, 44100.7, (dir / "c.wav").string()));
  const auto f = fileBytes(dir / "c.wav");
  const std::vector<std::uint8_t> header = {
      'R', 'I', 'F', 'F', 74, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0,  // 36 + 2 * 19
      1, 0, 1, 0, 0x44, 0xAC, 0, 0, 0x88, 0x58, 0x01, 0,  // PCM, mono, 44100, 88200
      2, 0, 16, 0, 'd', 'a', 't', 'a', 38, 0, 0, 0};
  ASSERT_EQ(f.size(), 44 + 2 * x.size());
  EXPECT_EQ(std::vector<std::uint8_t>(f.begin(), f.begin() + 44), header);
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(static_cast<int16_t>(f[44 + 2 * i] | (f[45 + 2 * i] << 8)), cases[i].second) << cases[i].first;
  EXPECT_TRUE(writeWav16({}, 48000, (dir / "e.wav").string()));  // an empty track: a header the reader refuses
  EXPECT_EQ(fileBytes(dir / "e.wav").size(), 44u);
  EXPECT_FALSE(readWav16((dir / "e.wav").string()));
}

TEST(WavWriter, WhatTheHeaderCannotHoldWritesNoFile) {
  for (const double rate : {std::nan(""), HUGE_VAL, -HUGE_VAL, -1.0, -0.5, 2147483648.0, 1e300}) EXPECT_FALSE(wavHeader16(4, rate)) << rate;
  EXPECT_FALSE(wavHeader16(std::numeric_limits<uint64_t>::max(), 48000));  // 2n overflows even 64 bits
  // At the edges the byte rate of the largest rate (rate * 2) and the RIFF
  // size of the longest track the 44-byte header holds (36 + 2n) are 2^32 - 2.
  auto u32At = [](const Wav16Header& h, size_t at) { return std::to_integer<uint32_t>(h.bytes[at]) | std::to_integer<uint32_t>(h.bytes[at + 3]) << 24; };
  EXPECT_EQ(u32At(wavHeader16(1, 2147483647.9).value(), 28), 0xFF0000FEu);
  EXPECT_EQ(u32At(wavHeader16(2147483629, 48000).value(), 4), 0xFF0000FEu);
  EXPECT_EQ(wavHeader16(2147483629, 48000)->size, 44u);
  ScratchDir dir("wav-writer");
  EXPECT_FALSE(writeWav16(std::vector<float>(4, 0.25f), -1.0, (dir / "bad.wav").string()) || fs::exists(dir / "bad.wav"));
}

TEST(WavWriter, AnOlderFileGivesWayOnlyToACompleteOne) {
  ScratchDir dir("wav-atomic");
  const auto path = dir / "r.wav";
  ASSERT_TRUE(writeWav16(std::vector<float>(1000, 0.25f), 8000, path.string()));
  const auto older = fileBytes(path);
  // A write cut short (the disk full, here the file size limit): the older
  // file stays whole and no temporary file is left beside it.
  rlimit saved{}, small{4096, 0};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  small.rlim_max = saved.rlim_max;
  ::signal(SIGXFSZ, SIG_IGN);  // the limit answers with an error, not a signal
  ::setrlimit(RLIMIT_FSIZE, &small);
  EXPECT_FALSE(writeWav16(std::vector<float>(100000, -0.25f), 8000, path.string()));
  ::setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_EQ(fileBytes(path), older);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
  EXPECT_TRUE(writeWav16(std::vector<float>(3, -0.25f), 8000, path.string()));  // a shorter one replaces it
  EXPECT_EQ(fileBytes(path).size(), 50u);
  // A link keeps pointing at the file it named, now the new one.
  fs::create_symlink("r.wav", dir / "link.wav");
  EXPECT_TRUE(writeWav16(std::vector<float>(5, 0.5f), 8000, (dir / "link.wav").string()) && fs::is_symlink(dir / "link.wav"));
  EXPECT_EQ(fileBytes(path).size(), 54u);
  // No folder, a folder in the way, a device written in place and left one.
  const std::vector<float> x(10, 0.1f);
  EXPECT_FALSE(writeWav16(x, 48000, (dir / "missing" / "x.wav").string()) || fs::exists(dir / "missing"));
  EXPECT_FALSE(writeWav16(x, 48000, dir.path().string()) || !fs::is_directory(dir.path()));
  EXPECT_TRUE(writeWav16(x, 48000, "/dev/null") && fs::is_character_file("/dev/null"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

TEST(ChannelPath, ReplacesOneExactKnownExtensionOrAppendsDotWav) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"out.wav", "mic", "out.mic.wav"},       {"out.wav", "sys", "out.sys.wav"},   {"out", "mic", "out.mic.wav"},
      {"take.WAV", "sys", "take.WAV.sys.wav"}, {"dir/rec.wav", "mic", "dir/rec.mic.wav"},
      {"a.wav.wav", "mic", "a.wav.mic.wav"},   {".wav", "mic", ".mic.wav"},          {"", "sys", ".sys.wav"},
      {"x.wa", "mic", "x.wa.mic.wav"},         {"dir.wav/rec", "mic", "dir.wav/rec.mic.wav"},
      {"/tmp/über → take.wav", "sys", "/tmp/über → take.sys.wav"}, {"call.flac", "mic", "call.mic.flac"},
      {"call.opus", "sys", "call.sys.opus"},   {"a.wav.flac", "mic", "a.wav.mic.flac"}, {"x.FLAC", "mic", "x.FLAC.mic.wav"}};
  for (const auto& [path, label, want] : cases) EXPECT_EQ(channelPath(path, label), want) << path << " + " << label;
}

}  // namespace
