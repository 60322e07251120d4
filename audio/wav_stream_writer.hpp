#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

// A mono 16-bit PCM WAV file written as its samples come, with the bytes
// writeWav16 would write for the whole track: the length is known up front,
// so the header goes first. Write failures are ignored, as writeWav16 does.
class WavStreamWriter {
 public:
  // Creates (or truncates) `path` for `frames` samples at `sampleRate`;
  // nothing, and no file, when the header cannot describe them.
  static std::optional<WavStreamWriter> create(const std::string& path, std::size_t frames,
                                               double sampleRate);
  ~WavStreamWriter();
  WavStreamWriter(WavStreamWriter&& other) noexcept;
  WavStreamWriter& operator=(WavStreamWriter&&) = delete;
  WavStreamWriter(const WavStreamWriter&) = delete;

  void write(std::span<const float> samples);
  // The next sample written is the first again (what was written is replaced).
  void restart();

 private:
  explicit WavStreamWriter(int fd) : fd_(fd) {}
  void flush();

  int fd_ = -1;
  std::vector<std::byte> pending_;
};
