#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// A mono sample track as read from a file: 32-bit float samples, nominally
// in [-1, 1), and the file's sample rate in Hz.
struct WavTrack {
  std::vector<float> samples;
  double rate = 0.0;
};

// Where the samples of a 16-bit PCM WAV file lie, as readWav16 finds them:
// `frames` frames of `channels` 16-bit samples from byte `dataStart` on.
struct Wav16Layout {
  std::size_t channels = 1;
  double rate = 0.0;
  std::uint64_t dataStart = 0;
  std::size_t frames = 0;
};

// The layout of the file whose bytes are `bytes` (only its chunk headers are
// read); nothing when readWav16 would refuse the file.
std::optional<Wav16Layout> wav16Layout(std::span<const std::byte> bytes);

// out[f] = the mono value of frame f of `data`, as readWav16 computes it
// (channels averaged).
void wav16ToMono(const std::byte* data, std::size_t channels, std::size_t frames, float* out);

// Reads a whole 16-bit PCM WAV file (any channel count, averaged to mono),
// RIFF or RF64/BW64 (where the data size 0xFFFFFFFF stands for the 64-bit
// one of the "ds64" chunk).
// Returns nothing when the file cannot be read or is not usable; never
// prints anything.
std::optional<WavTrack> readWav16(const std::string& path);

// The same reader over bytes already in memory. Never reads outside `bytes`,
// whatever they contain.
std::optional<WavTrack> readWav16Bytes(std::span<const std::byte> bytes);
