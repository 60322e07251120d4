#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "audio/wav_reader.hpp"

// Mono 32-bit float WAV files (format tag 3, IEEE float) with a 46-byte
// header (an 18-byte "fmt " chunk, as audio tools expect of a non-PCM
// format, then the "data" chunk): the layout in which a recording's tracks are spooled to
// disk while it runs, so that any audio tool can open them at any moment.

inline constexpr std::size_t kWavFloatHeaderSize = 46;

// The header of a mono float file of `frames` samples at `sampleRate`
// (truncated to an integer; a rate the fields cannot hold is written as 0).
// A track too long for the 32-bit size fields gets the largest sizes they
// hold: readers that go by the file's length, as readWavFloat32 does, still
// find every sample.
std::array<std::byte, kWavFloatHeaderSize> wavHeaderFloat32(std::uint64_t frames,
                                                           double sampleRate);

// Reads a mono float file in the layout above. The samples are taken from
// the file's length, rounded down to whole samples, not from the size
// fields, which may lag the data of a file whose writer was killed. Nothing
// when the file cannot be opened or read, is not in that layout, or does
// not fit in memory.
std::optional<WavTrack> readWavFloat32(const std::string& path);

// Where the samples of an open file in the layout above lie: its rate and
// the whole samples from the header to the end of the file (as
// readWavFloat32 counts them); nothing when the file is not in that layout.
struct WavFloatLayout {
  double rate = 0.0;
  std::uint64_t frames = 0;
};
std::optional<WavFloatLayout> wavFloat32Layout(int fd);

// Fills `out` with the float samples stored from byte `offset` of the open
// file `fd`; false on a read error or when the file ends first.
bool preadFloats(int fd, std::uint64_t offset, std::span<float> out);
