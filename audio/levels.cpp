#include "audio/levels.hpp"

#include <cmath>
#include <cstdint>

namespace {

// A sample this close to full scale has, in practice, been clipped.
constexpr float kClipLevel = 0.999f;

}  // namespace

float peak(std::span<const float> x) {
  float m = 0.0f;
  for (const float s : x) {
    const float a = std::fabs(s);
    if (m < a) m = a;  // false for NaN: it never becomes the maximum
  }
  return m;
}

float clipPct(std::span<const float> x) {
  if (x.empty()) return 0.0f;
  std::uint64_t count = 0;
  for (const float s : x)
    if (std::fabs(s) >= kClipLevel) ++count;
  return static_cast<float>(count) / static_cast<float>(x.size()) * 100.0f;
}
