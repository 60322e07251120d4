#pragma once

#include <cstddef>
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

// Reads a whole 16-bit PCM WAV file (any channel count, averaged to mono).
// Returns nothing when the file cannot be read or is not usable; never
// prints anything.
std::optional<WavTrack> readWav16(const std::string& path);

// The same reader over bytes already in memory. Never reads outside `bytes`,
// whatever they contain.
std::optional<WavTrack> readWav16Bytes(std::span<const std::byte> bytes);
