#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// Mono 32-bit float WAV files (format tag 3, IEEE float): the layout in
// which a recording's tracks are spooled to disk while it runs, its header
// rewritten in place after each write, so that any audio tool can open them
// at any moment. The 82-byte header:
//
//   0  "RIFF", RIFF size (74 + 4n)     -- "RF64", 0xFFFFFFFF past 4 GiB
//   8  "WAVE"
//  12  "JUNK", 28, 28 zero bytes       -- "ds64", 28, RIFF size, data size,
//                                         sample count (64 bits each), 0
//  48  "fmt ", 18: tag 3, 1 channel, rate, rate * 4, align 4, 32 bits, 0
//      (the empty extension that audio tools expect of a non-PCM format)
//  74  "data", data size (4n)          -- 0xFFFFFFFF past 4 GiB
//  82  the samples
//
// The "JUNK" chunk holds the room of the "ds64" chunk that takes its place
// once the sizes pass 32 bits, so the samples never move.

inline constexpr std::size_t kWavFloatHeaderSize = 82;
// The header that spools had before they could pass 4 GiB: the "fmt " chunk
// right after "WAVE", the samples from byte 46 on. Still read.
inline constexpr std::size_t kWavFloatPlainHeaderSize = 46;

// The header of a mono float file of `frames` samples at `sampleRate`
// (truncated to an integer; a rate the fields cannot hold is written as 0):
// RIFF while its RIFF size fits in 32 bits, RF64 beyond.
std::array<std::byte, kWavFloatHeaderSize> wavHeaderFloat32(std::uint64_t frames,
                                                           double sampleRate);

// Where the samples of an open file in either layout above lie: its rate,
// the byte they start at and the whole samples from there to the end of the
// file (taken from the file's length, not from the size fields, which may
// lag the data of a file whose writer was killed); nothing when the file is
// in neither layout.
struct WavFloatLayout {
  double rate = 0.0;
  std::uint64_t dataOffset = 0;
  std::uint64_t frames = 0;
};
std::optional<WavFloatLayout> wavFloat32Layout(int fd);

// Fills `out` with the float samples stored from byte `offset` of the open
// file `fd`; false on a read error or when the file ends first.
bool preadFloats(int fd, std::uint64_t offset, std::span<float> out);
