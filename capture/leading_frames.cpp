#include "capture/leading_frames.hpp"

#include <algorithm>

void skipLeadingFrames(SampleBuffer& buffer, int64_t& skip) {
  const uint64_t frameBytes =
      uint64_t{buffer.format.channelsPerFrame} * buffer.format.bitsPerChannel / 8;
  if (skip <= 0 || frameBytes == 0) return;
  const uint64_t frames = buffer.bytes.size() / frameBytes;
  const uint64_t cut = std::min(frames, static_cast<uint64_t>(skip));
  buffer.bytes.erase(buffer.bytes.begin(),
                     buffer.bytes.begin() + static_cast<std::ptrdiff_t>(cut * frameBytes));
  skip -= static_cast<int64_t>(cut);
}
