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
// the same results as peak and clipPct over the whole track.
struct LevelTally {
  float peak = 0.0f;
  std::uint64_t clipped = 0;
  void add(std::span<const float> x);
};
float clipPercent(std::uint64_t clipped, std::size_t total);

// The peak of the track a[i] + b[i] (n samples) folded into `m`.
void addSumToPeak(float& m, const float* a, const float* b, std::size_t n);
