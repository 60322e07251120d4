#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The stream format of a buffer of PCM audio: the four fields the capture
// code reads of it. A sound server always delivers interleaved frames.
struct StreamFormat {
  double sampleRate = 0.0;        // Hz
  uint32_t formatFlags = 0;       // kFormatFlag* bits
  uint32_t channelsPerFrame = 0;
  uint32_t bitsPerChannel = 0;
};

inline constexpr uint32_t kFormatFlagIsFloat = 0x1;
inline constexpr uint32_t kFormatFlagIsSignedInteger = 0x4;

// One block of audio as a source delivers it: interleaved, native-endian
// samples in the stated format.
struct SampleBuffer {
  StreamFormat format;
  std::vector<std::byte> bytes;
};
