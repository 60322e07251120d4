// The float32 spool file: its header byte by byte in both forms, the turn
// from RIFF (with a JUNK chunk holding the room) to RF64 in place as a file
// grows past 4 GiB (a sparse file, grown the way the spool writer grows it),
// and the layout of the spools written before that room existed.
#include <gtest/gtest.h>
#include <fcntl.h>

#include "audio/wav_float.hpp"
#include "wav_test_support.hpp"

namespace {

using wavtest::Bytes, wavtest::ScratchDir;

constexpr std::uint64_t kLongestRiff = 1073741805;  // 74 + 4n = 2^32 - 2

std::vector<std::uint8_t> bytesOf(const std::array<std::byte, kWavFloatHeaderSize>& h) {
  std::vector<std::uint8_t> v(h.size());
  std::memcpy(v.data(), h.data(), h.size());
  return v;
}

// Bytes 48 to 82: "fmt " with the empty extension, then the data chunk's id.
Bytes& fmtFloat(Bytes& b, std::uint32_t rate) {
  return b.str("fmt ").u32(18).u16(3).u16(1).u32(rate).u32(4 * rate).u16(4).u16(32).u16(0).str("data");
}

TEST(WavFloatHeader, RiffWithRoomForDs64ThenRf64) {
  for (const std::uint64_t n : {std::uint64_t{0}, std::uint64_t{3}, kLongestRiff}) {
    Bytes riff = Bytes().str("RIFF").u32(static_cast<std::uint32_t>(74 + 4 * n)).str("WAVE").str("JUNK").u32(28);
    riff.v.resize(riff.v.size() + 28);
    fmtFloat(riff, 48000).u32(static_cast<std::uint32_t>(4 * n));
    EXPECT_EQ(bytesOf(wavHeaderFloat32(n, 48000.5)), riff.v) << n;
  }
  for (const std::uint64_t n : {kLongestRiff + 1, std::uint64_t{1} << 36}) {
    Bytes rf64 = Bytes().str("RF64").u32(0xFFFFFFFF).str("WAVE").str("ds64").u32(28);
    rf64.u64(74 + 4 * n).u64(4 * n).u64(n).u32(0);
    fmtFloat(rf64, 44100).u32(0xFFFFFFFF);
    EXPECT_EQ(bytesOf(wavHeaderFloat32(n, 44100)), rf64.v) << n;
  }
}

class SpoolFile : public testing::Test {
 protected:
  void SetUp() override { fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600); }
  void TearDown() override { ::close(fd_); }
  // What the spool's writer does with each batch: the samples first, at the
  // end of the file, then the header that covers them, in place.
  void append(std::span<const float> batch) {
    ASSERT_EQ(::pwrite(fd_, batch.data(), batch.size_bytes(), static_cast<off_t>(82 + 4 * frames_)),
              static_cast<ssize_t>(batch.size_bytes()));
    frames_ += batch.size();
    rewriteHeader();
  }
  // A stretch of samples that takes no disk: a hole that reads as zeros.
  void skip(std::uint64_t frames) {
    frames_ += frames;
    ASSERT_EQ(::ftruncate(fd_, static_cast<off_t>(82 + 4 * frames_)), 0);
    rewriteHeader();
  }
  void rewriteHeader() {
    const auto h = wavHeaderFloat32(frames_, 48000);
    ASSERT_EQ(::pwrite(fd_, h.data(), h.size(), 0), 82);
  }
  std::string header() {
    std::string h(82, '\0');
    return ::pread(fd_, h.data(), h.size(), 0), h;
  }

  ScratchDir dir_{"spool-file"};
  std::string path_ = (dir_ / "sys.wav").string();
  int fd_ = -1;
  std::uint64_t frames_ = 0;
};

TEST_F(SpoolFile, PassingFourGiBTurnsTheHeaderRf64InPlaceAndEverySampleStaysWhereItWas) {
  const std::vector<float> first = {0.5f, -0.5f}, last = {0.25f, 0.125f, -1.0f, 2.0f};
  rewriteHeader();
  append(first);
  skip(kLongestRiff - 4);
  append(std::span(last).first(2));  // the longest RIFF file: 2^32 + 2 bytes
  EXPECT_EQ(header().substr(0, 16), std::string("RIFF\xFE\xFF\xFF\xFFWAVEJUNK", 16));
  append(std::span(last).subspan(2));  // one write takes it past, to RF64
  const std::uint64_t n = kLongestRiff + 2;
  EXPECT_EQ(header(), std::string(reinterpret_cast<const char*>(wavHeaderFloat32(n, 48000).data()), 82));
  EXPECT_EQ(header().substr(0, 16), std::string("RF64\xFF\xFF\xFF\xFFWAVEds64", 16));
  // Read as --recover reads it: by the file's length, a cut sample ignored.
  ASSERT_EQ(::pwrite(fd_, "\1\2", 2, static_cast<off_t>(82 + 4 * n)), 2);
  const std::optional<WavFloatLayout> layout = wavFloat32Layout(fd_);
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->rate, 48000.0);
  EXPECT_EQ(layout->dataOffset, 82u);
  EXPECT_EQ(layout->frames, n);
  std::vector<float> got(4);
  ASSERT_TRUE(preadFloats(fd_, layout->dataOffset, std::span(got).first(2)));
  EXPECT_EQ(std::vector<float>(got.begin(), got.begin() + 2), first);
  ASSERT_TRUE(preadFloats(fd_, layout->dataOffset + 4 * (n - 4), got));
  EXPECT_EQ(got, last);
  EXPECT_FALSE(preadFloats(fd_, layout->dataOffset + 4 * (n - 1), got));  // past the end
}

TEST_F(SpoolFile, TheEarlierLayoutIsStillRead) {
  // Samples right after an 18-byte "fmt " at byte 12, as spools were written.
  Bytes plain = Bytes().str("RIFF").u32(38 + 8).str("WAVE");
  fmtFloat(plain, 44100).u32(8);
  plain.v.resize(plain.v.size() + 8 + 3);  // two samples and part of a third
  std::memcpy(plain.v.data() + 46, std::array<float, 2>{0.5f, -0.75f}.data(), 8);
  ASSERT_EQ(::pwrite(fd_, plain.v.data(), plain.v.size(), 0), static_cast<ssize_t>(plain.v.size()));
  std::optional<WavFloatLayout> layout = wavFloat32Layout(fd_);
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->rate, 44100.0);
  EXPECT_EQ(layout->dataOffset, 46u);
  EXPECT_EQ(layout->frames, 2u);
  std::vector<float> got(2);
  ASSERT_TRUE(preadFloats(fd_, 46, got));
  EXPECT_EQ(got, (std::vector<float>{0.5f, -0.75f}));
}

}  // namespace
