// The WAV reader on crafted files (tests/data, made by make_wavs.py), on
// every truncation of them and on mutated copies, always from heap blocks of
// exactly the file's size so that a read past the end is caught by
// AddressSanitizer.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "wav_test_support.hpp"

namespace {

using wavtest::Bytes;
using wavtest::dataFile;
using wavtest::fileBytes;
using wavtest::readExact;

constexpr float k15 = 1.0f / 32768.0f;

struct Expected {
  const char* file;
  bool present;
  double rate;
  std::vector<float> samples;
};

std::vector<float> mono(std::initializer_list<int> values) {
  std::vector<float> out;
  for (int v : values) out.push_back(static_cast<float>(v) * k15);
  return out;
}

std::vector<float> ramp() {
  std::vector<float> out;
  for (int v = -1000; v < 1000; v += 100) out.push_back(static_cast<float>(v) * k15);
  return out;
}

const float kThird = 1.0f / 3.0f;

std::vector<Expected> crafted() {
  return {
      {"mono_16k.wav", true, 16000, mono({0, 16384, -32768, 32767, -1, 1, 2, 3, 4, 5, 6, 7})},
      {"data_only.wav", true, 48000, ramp()},
      {"stereo_opposite.wav", true, 44100, [] {
         std::vector<float> v(10, 0.0f);
         v.push_back(0.5f);
         return v;
       }()},
      {"three_channels.wav", true, 8000,
       {kThird * (5.0f * k15), kThird * (3.0f * (32767.0f * k15)), kThird * -3.0f, 0.0f}},
      {"data_size_max.wav", true, 22050, ramp()},
      {"odd_chunk_padded.wav", true, 16000, ramp()},
      {"odd_chunk_unpadded.wav", false, 0, {}},
      {"bits24.wav", false, 0, {}},
      {"float32.wav", false, 0, {}},
      {"extensible16.wav", true, 32000, {200.0f * k15, -200.0f * k15, 8.0f * k15}},
      {"extensible24.wav", false, 0, {}},
      {"fmt_after_data.wav", true, 22050, {0.25f, -0.25f, 3.0f * k15}},
      {"two_data.wav", true, 8000, mono({7, 8, 9})},
      {"last_fmt_24.wav", false, 0, {}},
      {"last_fmt_16.wav", true, 12000, ramp()},
      {"zero_channels.wav", false, 0, {}},
      {"rate_zero.wav", true, 0.0, ramp()},
      {"not_riff.wav", false, 0, {}},
      {"empty_track.wav", false, 0, {}},
      {"one_odd_byte.wav", true, 48000, {}},
      {"fmt_cut.wav", false, 0, {}},
      {"no_data.wav", false, 0, {}},
      {"partial_frame.wav", true, 48000, {0.5f, 0.125f}},
      {"fmt_size_14.wav", false, 0, {}},
      {"uppercase_data.wav", false, 0, {}},
      {"junk_past_end.wav", true, 11025, ramp()},
      {"fmt_size_huge.wav", true, 96000, {0.5f, -0.5f}},
  };
}

void expectTrack(const std::optional<WavTrack>& got, const Expected& e) {
  ASSERT_EQ(got.has_value(), e.present);
  if (!got) return;
  EXPECT_EQ(got->rate, e.rate);
  ASSERT_EQ(got->samples.size(), e.samples.size());
  for (size_t i = 0; i < e.samples.size(); ++i) {
    SCOPED_TRACE(i);
    // Bit for bit: the conversion is exact arithmetic in a fixed order.
    EXPECT_EQ(got->samples[i], e.samples[i]);
  }
}

TEST(WavReader, CraftedFilesReadAsExpectedFromDiskAndFromMemory) {
  // three_channels.wav's first frame sums to 5/32768, where the product with
  // float(1/3) and a division by 3 differ in the last bit: the table's exact
  // value tells the two apart.
  ASSERT_NE(kThird * (5.0f * k15), (5.0f * k15) / 3.0f);
  for (const Expected& e : crafted()) {
    SCOPED_TRACE(e.file);
    expectTrack(readWav16(dataFile(e.file).string()), e);
    expectTrack(readExact(fileBytes(dataFile(e.file))), e);
  }
}

TEST(WavReader, UnreadablePathsGiveNothing) {
  EXPECT_FALSE(readWav16("/nonexistent/dir/x.wav"));
  EXPECT_FALSE(readWav16(NARUP_TEST_DATA));  // a directory
  EXPECT_FALSE(readWav16(""));
}

TEST(WavReader, ReadsFromAPipeAsWellAsFromARegularFile) {
  // A stream reports no size up front; the reader still takes it whole.
  wavtest::ScratchDir dir("wav-fifo");
  const auto fifo = dir / "in.wav";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::vector<float> x(100000);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i % 200) / 200.0f - 0.5f;
  const auto regular = dir / "regular.wav";
  writeWav16(x, 8000, regular.string());
  const pid_t child = fork();
  if (child == 0) {
    writeWav16(x, 8000, fifo.string());  // blocks until the reader opens it
    _exit(0);
  }
  const auto piped = readWav16(fifo.string());
  int status = 0;
  waitpid(child, &status, 0);
  const auto direct = readWav16(regular.string());
  ASSERT_TRUE(piped);
  ASSERT_TRUE(direct);
  EXPECT_EQ(piped->samples, direct->samples);
  EXPECT_EQ(piped->rate, 8000.0);
}

TEST(WavReader, ShortestFilesAreRejectedAtFortyFourBytesAndReadAtFortyFive) {
  const auto full = fileBytes(dataFile("one_odd_byte.wav"));
  ASSERT_EQ(full.size(), 45u);
  EXPECT_TRUE(readExact(full));
  EXPECT_FALSE(readExact(std::span(full).first(44)));
}

TEST(WavReader, HandMadeEdgesOfTheHeaderFields) {
  // The fmt chunk of a mono 16-bit file, with the given channels and rate.
  auto header = [](std::uint32_t channels, std::uint32_t rate) {
    Bytes b;
    b.str("RIFF").u32(0).str("WAVE").str("fmt ").u32(16).u16(1).u16(channels).u32(rate);
    b.u32(0).u16(2).u16(16);
    return b;
  };
  struct Case {
    const char* why;
    Bytes file;
    double rate;
    std::vector<float> samples;
  };
  std::vector<Case> cases;
  // offset + 8 == file length: the header is read and its body is empty.
  cases.push_back({"an empty data chunk as the very last 8 bytes", header(1, 8000), 8000.0, {}});
  cases.back().file.str("junk").u32(4).u32(0).str("data").u32(0);
  cases.push_back({"the largest rate field", header(1, 0xFFFFFFFF), 4294967295.0,
                   {-1.0f, 32767.0f * k15}});
  cases.back().file.str("data").u32(4).i16(-32768).i16(32767);
  cases.push_back({"65535 channels, fewer bytes than one frame", header(65535, 8000), 8000.0, {}});
  cases.back().file.str("data").u32(20);
  for (int i = 0; i < 10; ++i) cases.back().file.i16(1000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const auto t = readExact(c.file.v);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->rate, c.rate);
    EXPECT_EQ(t->samples, c.samples);
  }
}

// ---------------------------------------------------------------------------
// A plain reading of the format, written for clarity with checked accesses
// (vector::at throws on any index outside the file). The reader is compared
// with it on every truncation and on mutations of the crafted files.
std::optional<WavTrack> modelRead(const std::vector<std::uint8_t>& f) {
  auto u16 = [&](size_t at) { return static_cast<unsigned>(f.at(at) | (f.at(at + 1) << 8)); };
  auto u32 = [&](size_t at) { return static_cast<uint64_t>(u16(at)) | (static_cast<uint64_t>(u16(at + 2)) << 16); };
  if (f.size() <= 44) return std::nullopt;
  if (std::string(f.begin(), f.begin() + 4) != "RIFF") return std::nullopt;
  unsigned channels = 1, bits = 16;
  double rate = 48000;
  std::optional<size_t> start;
  uint64_t length = 0;
  for (uint64_t off = 12; off + 8 <= f.size();) {
    const std::string id(f.begin() + off, f.begin() + off + 4);
    const uint64_t size = u32(off + 4), body = off + 8;
    if (id == "fmt ") {
      if (body + 16 > f.size()) return std::nullopt;
      channels = u16(body + 2);
      rate = static_cast<double>(u32(body + 4));
      bits = u16(body + 14);
    } else if (id == "data") {
      start = body;
      length = std::min<uint64_t>(size, f.size() - body);
    }
    off = body + size + size % 2;
  }
  if (!start || bits != 16 || channels < 1) return std::nullopt;
  WavTrack t{{}, rate};
  const uint64_t frames = length / 2 / channels;
  const float scale = 1.0f / static_cast<float>(channels);
  for (uint64_t fr = 0; fr < frames; ++fr) {
    float sum = 0.0f;
    for (unsigned k = 0; k < channels; ++k) {
      const auto v = static_cast<int16_t>(u16(*start + 2 * (fr * channels + k)));
      sum += static_cast<float>(v) / 32768.0f;
    }
    t.samples.push_back(scale * sum);
  }
  return t;
}

void expectSameAsModel(const std::vector<std::uint8_t>& bytes) {
  const auto got = readExact(bytes);
  const auto want = modelRead(bytes);
  ASSERT_EQ(got.has_value(), want.has_value());
  if (!got) return;
  EXPECT_EQ(got->rate, want->rate);
  EXPECT_EQ(got->samples, want->samples);
}

TEST(WavReader, EveryTruncationOfEveryCraftedFileStaysInsideTheFile) {
  for (const Expected& e : crafted()) {
    const auto full = fileBytes(dataFile(e.file));
    ASSERT_FALSE(full.empty()) << e.file;
    for (size_t n = 0; n <= full.size(); ++n) {
      SCOPED_TRACE(std::string(e.file) + " cut to " + std::to_string(n));
      expectSameAsModel(std::vector<std::uint8_t>(full.begin(), full.begin() + n));
    }
  }
}

TEST(WavReader, MutatedCraftedFilesMatchThePlainReading) {
  // Deterministic mutations: single bytes, and whole 32-bit fields set to
  // the values that stress a chunk walk (0, odd, just past the end, 2^32-1).
  uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  const uint32_t sizes[] = {0, 1, 15, 16, 17, 0x7FFFFFFF, 0xFFFFFFF7, 0xFFFFFFFF};
  for (const Expected& e : crafted()) {
    const auto full = fileBytes(dataFile(e.file));
    for (int round = 0; round < 300; ++round) {
      auto m = full;
      const size_t at = next() % m.size();
      if (round % 2 == 0) {
        m[at] = static_cast<std::uint8_t>(next());
      } else {
        const uint32_t v = sizes[next() % std::size(sizes)];
        for (size_t i = 0; i < 4 && at + i < m.size(); ++i) m[at + i] = (v >> (8 * i)) & 0xFF;
      }
      if (round % 3 == 0) m.resize(next() % (m.size() + 1));
      SCOPED_TRACE(std::string(e.file) + " mutation " + std::to_string(round));
      expectSameAsModel(m);
    }
  }
}

}  // namespace
