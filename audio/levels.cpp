#include "audio/levels.hpp"

float peak(std::span<const float> x) {
  float m = 0.0f;
  for (const float s : x) addToPeak(m, s);
  return m;
}

float clipPct(std::span<const float> x) {
  std::uint64_t count = 0;
  for (const float s : x)
    if (isClipped(s)) ++count;
  return clipPercent(count, x.size());
}

float clipPercent(std::uint64_t clipped, std::size_t total) {
  if (total == 0) return 0.0f;
  return static_cast<float>(clipped) / static_cast<float>(total) * 100.0f;
}
