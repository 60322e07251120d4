#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "audio/wav_reader.hpp"

// A 16-bit PCM WAV file read a window at a time, as readWav16 would read it
// whole (any channel count averaged to mono), without holding it: a regular
// file is read from disk on each call, anything else (a pipe) is read whole
// once and served from memory.
class WavWindowReader {
 public:
  // Nothing when readWav16 would give nothing.
  static std::optional<WavWindowReader> open(const std::string& path);
  ~WavWindowReader();
  WavWindowReader(WavWindowReader&& other) noexcept;
  WavWindowReader& operator=(WavWindowReader&&) = delete;
  WavWindowReader(const WavWindowReader&) = delete;

  double rate() const { return layout_.rate; }
  std::size_t frames() const { return layout_.frames; }

  // out[i] = mono sample first + i for i in [0, count); first + count must
  // not exceed frames(). Samples the file no longer holds read as 0. Safe to
  // call from several threads at once.
  void read(std::size_t first, std::size_t count, float* out) const;

 private:
  WavWindowReader() = default;

  int fd_ = -1;
  Wav16Layout layout_;
  std::optional<WavTrack> whole_;  // a file that is not a regular one
};
