#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// Brings `x` from rate `from` to rate `to` (Hz) by linear interpolation,
// without filtering. The input comes back unchanged when either rate is not
// positive, the rates differ by 1 Hz or less, the track is empty, or the
// result would have fewer than 2 samples.
std::vector<float> resampleLinear(std::span<const float> x, double from, double to);

// The length resampleLinear gives a track of n samples, or nothing when it
// leaves the track as it is.
std::optional<std::int64_t> resampledLength(std::int64_t n, double from, double to);

// Output sample i of resampleLinear for ratio = to / from over a track whose
// last index is `last`; `at(j)` gives input sample j. Shared by the whole-
// track form and the one that computes samples as they are read, so that
// both give the same bits.
template <typename At>
float resampledSample(const At& at, std::int64_t i, double ratio, std::int64_t last) {
  // The index is divided by the ratio (not multiplied by from/to): the two
  // differ in the last bit for most rate pairs.
  const double pos = static_cast<double>(i) / ratio;
  const auto k = static_cast<std::int64_t>(pos);  // truncated toward zero
  const float xa = at(std::min(k, last));
  const float xb = at(std::min(k + 1, last));
  const auto frac = static_cast<float>(pos - static_cast<double>(k));
  return xa + (xb - xa) * frac;
}
