// Interchange with a real WAV implementation: sox reads what we write, and
// we read what sox writes, as the format rules say. Skipped without sox.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "wav_test_support.hpp"

namespace {

using wavtest::fileBytes;
using wavtest::ScratchDir;

bool haveSox() { return std::system("command -v sox >/dev/null 2>&1 && command -v soxi >/dev/null 2>&1") == 0; }

// Standard output of a shell command, trailing newline removed.
std::string shell(const std::string& cmd) {
  std::string out;
  if (FILE* p = ::popen(cmd.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::string quoted(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

// The samples sox decodes from `file`, as little-endian signed 16-bit.
std::vector<int16_t> soxSamples(const std::filesystem::path& file, const std::filesystem::path& raw) {
  shell("sox " + quoted(file) + " -t raw -e signed-integer -b 16 -L " + quoted(raw));
  const auto b = fileBytes(raw);
  std::vector<int16_t> v;
  for (size_t i = 0; i + 1 < b.size(); i += 2) v.push_back(static_cast<int16_t>(b[i] | (b[i + 1] << 8)));
  return v;
}

class SoxInterchange : public testing::Test {
 protected:
  void SetUp() override {
    if (!haveSox()) GTEST_SKIP() << "sox is not installed";
  }
  ScratchDir dir_{"wav-sox"};
};

TEST_F(SoxInterchange, SoxSeesTheRateLengthAndSamplesWeWrote) {
  std::vector<float> x;
  std::vector<int16_t> want;
  for (int i = 0; i < 1000; ++i) {
    const float s = static_cast<float>(i - 500) / 400.0f;  // runs past both ends of full scale
    x.push_back(s);
    want.push_back(s >= 1.0f ? 32767 : static_cast<int16_t>((s < -1.0f ? -1.0f : s) * 32767.0f));
  }
  const auto path = dir_ / "ours.wav";
  writeWav16(x, 44100.6, path.string());
  EXPECT_EQ(shell("soxi -r " + quoted(path)), "44100");
  EXPECT_EQ(shell("soxi -s " + quoted(path)), "1000");
  EXPECT_EQ(shell("soxi -c " + quoted(path)), "1");
  EXPECT_EQ(shell("soxi -b " + quoted(path)), "16");
  EXPECT_EQ(shell("soxi -e " + quoted(path)), "Signed Integer PCM");
  EXPECT_EQ(soxSamples(path, dir_ / "ours.raw"), want);
}

// Reads a sox-made file and checks it against sox's own decoding of it,
// averaged the way the reader averages: sum of v/32768 in channel order,
// times the float value of 1/channels.
void expectReadAsSoxDecodes(const std::filesystem::path& file, const std::filesystem::path& raw,
                            int channels, double rate, size_t frames) {
  const auto ints = soxSamples(file, raw);
  ASSERT_EQ(ints.size(), frames * channels);
  const auto t = readWav16(file.string());
  ASSERT_TRUE(t);
  EXPECT_EQ(t->rate, rate);
  ASSERT_EQ(t->samples.size(), frames);
  const float scale = 1.0f / static_cast<float>(channels);
  size_t differing = 0;
  for (size_t f = 0; f < frames; ++f) {
    float sum = 0.0f;
    for (int k = 0; k < channels; ++k) sum += static_cast<float>(ints[f * channels + k]) / 32768.0f;
    if (t->samples[f] != scale * sum) ++differing;
  }
  EXPECT_EQ(differing, 0u);
}

TEST_F(SoxInterchange, StereoFortyFourOneFileFromSoxReadsAsItsAverage) {
  const auto path = dir_ / "sox2.wav";
  shell("sox -n -r 44100 -c 2 -b 16 -e signed-integer " + quoted(path) +
        " synth 0.1 sine 440 sine 1000 vol 0.8");
  EXPECT_EQ(shell("soxi -c " + quoted(path)), "2");
  expectReadAsSoxDecodes(path, dir_ / "sox2.raw", 2, 44100, 4410);
}

TEST_F(SoxInterchange, ThreeChannelExtensibleFileFromSoxIsRead) {
  // sox writes more than two channels as WAVE_FORMAT_EXTENSIBLE.
  const auto path = dir_ / "sox3.wav";
  shell("sox -n -r 16000 -c 3 -b 16 -e signed-integer " + quoted(path) +
        " synth 0.05 sine 300 sine 700 square 90");
  const auto bytes = fileBytes(path);
  ASSERT_GE(bytes.size(), 22u);
  EXPECT_EQ(bytes[20] | (bytes[21] << 8), 0xFFFE);
  expectReadAsSoxDecodes(path, dir_ / "sox3.raw", 3, 16000, 800);
}

TEST_F(SoxInterchange, SoxFilesOfOtherSampleSizesAreRejected) {
  const char* kinds[] = {"-b 24 -e signed-integer", "-b 32 -e floating-point", "-b 8 -e unsigned-integer"};
  for (const char* kind : kinds) {
    SCOPED_TRACE(kind);
    const auto path = dir_ / "other.wav";
    shell(std::string("sox -n -r 48000 -c 1 ") + kind + " " + quoted(path) + " synth 0.05 sine 440");
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_FALSE(readWav16(path.string()));
  }
}

}  // namespace
