#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// Mono 32-bit float WAV files (format tag 3, IEEE float) with a 46-byte
// header (an 18-byte "fmt " chunk, as audio tools expect of a non-PCM
// format, then the "data" chunk): the layout in which a recording's tracks are spooled to
// disk while it runs, so that any audio tool can open them at any moment.

inline constexpr std::size_t kWavFloatHeaderSize = 46;

// The header of a mono float file of `frames` samples at `sampleRate`
// (truncated to an integer; a rate the fields cannot hold is written as 0).
// A track too long for the 32-bit size fields gets the largest sizes they
// hold: readers that go by the file's length, as wavFloat32Layout does,
// still find every sample.
std::array<std::byte, kWavFloatHeaderSize> wavHeaderFloat32(std::uint64_t frames,
                                                           double sampleRate);

// Where the samples of an open file in the layout above lie: its rate and
// the whole samples from the header to the end of the file (taken from the
// file's length, not from the size fields, which may lag the data of a file
// whose writer was killed); nothing when the file is not in that layout.
struct WavFloatLayout {
  double rate = 0.0;
  std::uint64_t frames = 0;
};
std::optional<WavFloatLayout> wavFloat32Layout(int fd);

// Fills `out` with the float samples stored from byte `offset` of the open
// file `fd`; false on a read error or when the file ends first.
bool preadFloats(int fd, std::uint64_t offset, std::span<float> out);
