// The windowed reader and the piecewise writer give, piece by piece, what
// readWav16 and writeWav16 give for the whole track.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "audio/wav_writer.hpp"
#include "audio/wav_window_reader.hpp"
#include "wav_test_support.hpp"

using namespace wavtest;

TEST(WavWindowReader, AnyWindowIsWhatTheWholeReadGives) {
  // Three channels, an odd chunk before the samples and one after them;
  // the reader converts 5461 frames (32 KiB) at a time.
  constexpr std::uint32_t kFrames = 20000;
  Bytes b;
  b.str("RIFF").u32(0).str("WAVE").str("junk").u32(3).str("abc");
  b.v.push_back(0);  // the pad byte of an odd chunk
  b.str("fmt ").u32(16).u16(1).u16(3).u32(44100).u32(44100 * 6).u16(6).u16(16);
  b.str("data").u32(kFrames * 6);
  for (std::uint32_t i = 0; i < kFrames * 3; ++i) b.i16(static_cast<std::int16_t>((i * 7919) % 65536 - 32768));
  b.str("LIST").u32(4).str("INFO");
  ScratchDir dir("wav-window");
  const auto path = dir / "three.wav";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.v.data()), static_cast<std::streamsize>(b.v.size()));
  const std::optional<WavTrack> whole = readWav16(path.string());
  const std::optional<WavWindowReader> reader = WavWindowReader::open(path.string());
  ASSERT_TRUE(whole && reader);
  EXPECT_EQ(reader->rate(), whole->rate);
  ASSERT_EQ(reader->frames(), whole->samples.size());
  const std::size_t kBlock = 5461;
  const std::pair<std::size_t, std::size_t> windows[] = {
      {0, kFrames}, {0, kBlock}, {0, kBlock + 1}, {1, kBlock}, {kBlock - 1, 2},
      {kFrames - 1, 1}, {kFrames - kBlock - 1, kBlock + 1}, {kFrames - kBlock, kBlock}};
  for (const auto& [first, count] : windows) {
    std::vector<float> got(count);
    reader->read(first, count, got.data());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), whole->samples.begin() + static_cast<long>(first)))
        << first << "+" << count;
  }
  EXPECT_FALSE(WavWindowReader::open((dir / "missing.wav").string()));
}

TEST(Wav16FileWriter, PiecesGiveTheWholeWritersBytesAndAnAbandonedOneLeavesTheOlderFile) {
  std::vector<float> x(70001);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = std::sin(static_cast<float>(i) * 0.01f) * 1.2f;
  x[5] = std::nanf("");
  ScratchDir dir("wav-stream");
  writeWav16(x, 16000.0, (dir / "whole.wav").string());
  const std::string pieces = (dir / "pieces.wav").string();
  writeWav16(std::vector<float>(10, 0.5f), 16000.0, pieces);
  const auto older = fileBytes(pieces);
  {
    auto abandoned = Wav16FileWriter::begin(pieces, x.size(), 16000.0);
    ASSERT_TRUE(abandoned);
    abandoned->write(std::span<const float>(x).first(1000));
  }
  EXPECT_EQ(fileBytes(pieces), older);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 2);
  auto w = Wav16FileWriter::begin(pieces, x.size(), 16000.0);
  ASSERT_TRUE(w);
  for (std::size_t at = 0, piece = 1; at < x.size(); at += piece, piece = piece * 3 + 1)
    w->write(std::span<const float>(x).subspan(at, std::min(piece, x.size() - at)));
  EXPECT_EQ(fileBytes(pieces), older);  // nothing shows before the commit
  EXPECT_TRUE(w->commit());
  EXPECT_EQ(fileBytes(pieces), fileBytes(dir / "whole.wav"));
  // A rate the header cannot hold: no writer and no file, as writeWav16.
  EXPECT_FALSE(Wav16FileWriter::begin((dir / "none.wav").string(), 10, std::nan("")));
  EXPECT_FALSE(std::filesystem::exists(dir / "none.wav"));
}
