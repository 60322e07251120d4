#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

// Largest absolute sample value; 0 for an empty track. NaN samples are
// passed over.
float peak(std::span<const float> x);

// Percentage (0 to 100) of samples whose absolute value is at least 0.999;
// 0 for an empty track.
float clipPct(std::span<const float> x);

// The two measures taken a piece at a time, for tracks read in stretches:
// the same arithmetic, so the same results as peak and clipPct.
inline void addToPeak(float& m, float s) {
  const float a = std::fabs(s);
  if (m < a) m = a;  // false for NaN: it never becomes the maximum
}
// A sample this close to full scale has, in practice, been clipped.
inline bool isClipped(float s) { return std::fabs(s) >= 0.999f; }
float clipPercent(std::uint64_t clipped, std::size_t total);
