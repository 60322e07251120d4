// 16-bit files past 4 GiB: the header turns RF64 exactly where the 44-byte
// one can no longer say the length, and a take of 13 hours (a sparse file,
// so no 4.5 GB are written) is read back whole by our readers.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "audio/wav_window_reader.hpp"
#include "wav_test_support.hpp"

namespace {

using wavtest::Bytes, wavtest::fileBytes, wavtest::ScratchDir;

constexpr std::uint64_t kLongestRiff = 2147483629;     // 36 + 2n = 2^32 - 2
constexpr std::uint64_t kThirteenHours = 13ull * 3600 * 48000;

std::vector<std::uint8_t> bytesOf(const Wav16Header& h) {
  std::vector<std::uint8_t> v(h.size);
  std::memcpy(v.data(), h.bytes.data(), h.size);
  return v;
}

Bytes& fmt16(Bytes& b, std::uint32_t rate) {
  return b.str("fmt ").u32(16).u16(1).u16(1).u32(rate).u32(2 * rate).u16(2).u16(16);
}

TEST(Rf64Header16, RiffUpToTheLastLengthItHoldsRf64FromTheNext) {
  Bytes riff = Bytes().str("RIFF").u32(0xFFFFFFFE).str("WAVE");
  fmt16(riff, 48000).str("data").u32(0xFFFFFFDA);
  EXPECT_EQ(bytesOf(wavHeader16(kLongestRiff, 48000).value()), riff.v);
  for (const std::uint64_t n : {kLongestRiff + 1, kThirteenHours, std::uint64_t{1} << 40}) {
    SCOPED_TRACE(n);
    Bytes rf64 = Bytes().str("RF64").u32(0xFFFFFFFF).str("WAVE");
    rf64.str("ds64").u32(28).u64(72 + 2 * n).u64(2 * n).u64(n).u32(0);  // RIFF size, data size, samples, no table
    fmt16(rf64, 44100).str("data").u32(0xFFFFFFFF);
    EXPECT_EQ(bytesOf(wavHeader16(n, 44100.9).value()), rf64.v);
  }
}

TEST(Rf64File, AThirteenHourTakeIsWrittenAndReadBackToItsLastSample) {
  ScratchDir dir("wav-rf64");
  const auto path = dir / "take.wav";
  const std::vector<float> head = {0.5f, -0.25f, 0.125f}, tail = {0.25f, -0.5f, 1.0f, -1.0f, 3.0f * (1.0f / 32768)};
  ASSERT_TRUE(wavtest::writeSparseWav16(path, kThirteenHours, 48000, head, tail));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  ASSERT_EQ(static_cast<std::uint64_t>(st.st_size), 80 + 2 * kThirteenHours);
  // The header, and the samples at both ends, as written.
  std::vector<std::uint8_t> start(80 + 6), end(10);
  const int fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_EQ(::pread(fd, start.data(), start.size(), 0), static_cast<ssize_t>(start.size()));
  ASSERT_EQ(::pread(fd, end.data(), end.size(), st.st_size - 10), 10);
  ::close(fd);
  Bytes want;
  want.v = bytesOf(wavHeader16(kThirteenHours, 48000).value());
  want.i16(16383).i16(-8191).i16(4095);
  EXPECT_EQ(start, want.v);
  EXPECT_EQ(end, Bytes().i16(8191).i16(-16383).i16(32767).i16(-32767).i16(2).v);
  // --process-files reads its inputs a window at a time: the whole length,
  // the hole as silence, the last samples.
  const std::optional<WavWindowReader> r = WavWindowReader::open(path.string());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->frames(), kThirteenHours);
  EXPECT_EQ(r->rate(), 48000.0);
  std::vector<float> got(5);
  r->read(0, 3, got.data());
  EXPECT_EQ(std::vector<float>(got.begin(), got.begin() + 3), (std::vector<float>{16383 / 32768.0f, -8191 / 32768.0f, 4095 / 32768.0f}));
  r->read(kThirteenHours / 2, 5, got.data());
  EXPECT_EQ(got, std::vector<float>(5, 0.0f));
  r->read(kThirteenHours - 5, 5, got.data());
  EXPECT_EQ(got, (std::vector<float>{8191 / 32768.0f, -16383 / 32768.0f, 32767 / 32768.0f, -32767 / 32768.0f, 2 / 32768.0f}));
}

}  // namespace
