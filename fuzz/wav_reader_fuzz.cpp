// Arbitrary bytes through the WAV reader: it must never read outside them.
#include <cstddef>
#include <cstdint>
#include <span>

#include "audio/wav.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto bytes = std::span<const std::byte>(reinterpret_cast<const std::byte*>(data), size);
  const auto track = readWav16Bytes(bytes);
  if (track) {
    // Every sample is an average of 16-bit values: it lies in [-1, 1).
    for (float s : track->samples) {
      if (!(s >= -1.0f && s < 1.0f)) __builtin_trap();
    }
  }
  return 0;
}
