// The WAV reader on crafted files (tests/data, made by make_wavs.py) and on
// damaged copies of them, from heap blocks of exactly the file's size, so
// that a read past the end is caught by AddressSanitizer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "wav_test_support.hpp"

namespace {

using wavtest::Bytes, wavtest::fileBytes, wavtest::readExact;

std::filesystem::path dataFile(const std::string& name) { return std::filesystem::path(NARUP_TEST_DATA) / name; }

constexpr float k15 = 1.0f / 32768.0f;
const float kThird = 1.0f / 3.0f;

std::vector<float> mono(std::initializer_list<int> values) {  // 16-bit values as read: v / 32768
  std::vector<float> out;
  for (int v : values) out.push_back(static_cast<float>(v) * k15);
  return out;
}

const char* const kRejected[] = {"odd_chunk_unpadded.wav", "bits24.wav", "extensible24.wav", "last_fmt_24.wav",
                                 "zero_channels.wav", "not_riff.wav", "empty_track.wav", "fmt_cut.wav", "no_data.wav",
                                 "fmt_size_14.wav", "uppercase_data.wav", "float32.wav"};

std::vector<std::pair<const char*, WavTrack>> readable() {
  const auto ramp = mono({-1000, -900, -800, -700, -600, -500, -400, -300, -200, -100, 0, 100, 200, 300, 400, 500, 600, 700, 800, 900});
  std::vector<float> opposite(10, 0.0f);
  opposite.push_back(0.5f);
  return {{"mono_16k.wav", {mono({0, 16384, -32768, 32767, -1, 1, 2, 3, 4, 5, 6, 7}), 16000}},
          {"three_channels.wav", {{kThird * (5.0f * k15), kThird * (3.0f * (32767.0f * k15)), kThird * -3.0f, 0.0f}, 8000}},
          {"data_only.wav", {ramp, 48000}},           {"stereo_opposite.wav", {opposite, 44100}},
          {"data_size_max.wav", {ramp, 22050}},       {"odd_chunk_padded.wav", {ramp, 16000}},
          {"last_fmt_16.wav", {ramp, 12000}},         {"extensible16.wav", {mono({200, -200, 8}), 32000}},
          {"rate_zero.wav", {ramp, 0.0}},             {"fmt_after_data.wav", {{0.25f, -0.25f, 3.0f * k15}, 22050}},
          {"one_odd_byte.wav", {{}, 48000}},          {"two_data.wav", {mono({7, 8, 9}), 8000}},
          {"junk_past_end.wav", {ramp, 11025}},       {"partial_frame.wav", {{0.5f, 0.125f}, 48000}},
          {"fmt_size_huge.wav", {{0.5f, -0.5f}, 96000}},
          // RF64 and BW64: where the 32-bit data size is 0xFFFFFFFF, the
          // ds64 chunk's size stands in; it counts only there and only in
          // those forms.
          {"rf64.wav", {ramp, 24000}},                {"bw64.wav", {{0.5f, -0.125f, 7.0f * k15}, 32000}},
          {"rf64_data_past_end.wav", {ramp, 8000}},   {"rf64_small_data.wav", {ramp, 8000}},
          {"rf64_no_ds64.wav", {ramp, 8000}},         {"riff_ds64.wav", {ramp, 8000}}};
}

// Bit for bit: the conversion is exact arithmetic in a fixed order.
void expectTrack(const std::optional<WavTrack>& got, const WavTrack& want) {
  ASSERT_TRUE(got);
  EXPECT_EQ(got->rate, want.rate);
  EXPECT_EQ(got->samples, want.samples);
}

TEST(WavReader, CraftedFilesReadAsExpectedFromDiskAndFromMemory) {
  // three_channels.wav's first frame sums to 5/32768, where the product with
  // float(1/3) and a division by 3 differ in the last bit.
  ASSERT_NE(kThird * (5.0f * k15), (5.0f * k15) / 3.0f);
  for (const auto& [file, want] : readable()) {
    SCOPED_TRACE(file);
    expectTrack(readWav16(dataFile(file).string()), want);
    expectTrack(readExact(fileBytes(dataFile(file))), want);
  }
  for (const char* file : kRejected) EXPECT_FALSE(readWav16(dataFile(file).string()) || readExact(fileBytes(dataFile(file)))) << file;
  const auto shortest = fileBytes(dataFile("one_odd_byte.wav"));  // 45 bytes are read, 44 are not
  EXPECT_FALSE(readExact(std::span(shortest).first(44)));
  for (const char* unreadable : {"/nonexistent/dir/x.wav", NARUP_TEST_DATA, ""}) EXPECT_FALSE(readWav16(unreadable));
}

TEST(WavReader, HandMadeEdgesOfTheHeaderFields) {
  auto header = [](std::uint32_t channels, std::uint32_t rate) {  // a 16-bit fmt chunk
    return Bytes().str("RIFF").u32(0).str("WAVEfmt ").u32(16).u16(1).u16(channels).u32(rate).u32(0).u16(2).u16(16);
  };
  Bytes lastEight = header(1, 8000), largestRate = header(1, 0xFFFFFFFF), wide = header(65535, 8000);
  lastEight.str("junk").u32(4).u32(0).str("data").u32(0);  // offset + 8 == the file's length
  largestRate.str("data").u32(4).i16(-32768).i16(32767);
  wide.str("data").u32(20);  // fewer bytes than one frame
  for (int i = 0; i < 10; ++i) wide.i16(1000);
  expectTrack(readExact(lastEight.v), {{}, 8000.0});
  expectTrack(readExact(largestRate.v), {{-1.0f, 32767.0f * k15}, 4294967295.0});
  expectTrack(readExact(wide.v), {{}, 8000.0});
}

TEST(WavReader, ReadsFromAPipeAsFromAFile) {
  wavtest::ScratchDir dir("wav-fifo");  // a stream reports no size up front
  ASSERT_EQ(::mkfifo((dir / "in.wav").c_str(), 0600), 0);
  std::vector<float> x(100000);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i % 200) / 200.0f - 0.5f;
  writeWav16(x, 8000, (dir / "regular.wav").string());
  if (fork() == 0) _exit(writeWav16(x, 8000, (dir / "in.wav").string()) ? 0 : 1);  // in place: it is no file
  const auto piped = readWav16((dir / "in.wav").string());
  int status = -1;
  EXPECT_TRUE(::wait(&status) > 0 && status == 0);
  expectTrack(piped, {readWav16((dir / "regular.wav").string()).value().samples, 8000.0});
}

TEST(WavReader, DamagedCraftedFilesAreReadWithinTheirBytes) {
  // Every truncation, and every 32-bit field set to a size that stresses a
  // chunk walk (0, odd, just past the end, 2^32 - 1): never a read outside
  // the bytes (AddressSanitizer), never more frames than they hold, never a
  // sample outside [-1, 1).
  std::vector<const char*> files(std::begin(kRejected), std::end(kRejected));
  for (const auto& r : readable()) files.push_back(r.first);
  for (const char* file : files) {
    const auto full = fileBytes(dataFile(file));
    std::vector<std::vector<std::uint8_t>> damaged;
    for (size_t n = 0; n < full.size(); ++n) damaged.emplace_back(full.begin(), full.begin() + n);
    for (const uint32_t v : {0u, 1u, 15u, 17u, 0x7FFFFFFFu, 0xFFFFFFF7u, 0xFFFFFFFFu}) {
      for (size_t at = 4; at + 4 <= full.size(); at += 2) {
        damaged.push_back(full);
        for (size_t i = 0; i < 4; ++i) damaged.back()[at + i] = (v >> (8 * i)) & 0xFF;
      }
    }
    for (size_t i = 0; i < damaged.size(); ++i) {
      SCOPED_TRACE(std::string(file) + " damaged copy " + std::to_string(i));
      const auto t = readExact(damaged[i]);
      if (!t) continue;
      EXPECT_LE(t->samples.size(), (damaged[i].size() - 20) / 2);  // data starts at byte 20 at the earliest
      for (const float x : t->samples) ASSERT_TRUE(x >= -1.0f && x < 1.0f) << x;
    }
  }
}

}  // namespace
