#pragma once

#include <span>
#include <vector>

// Brings `x` from rate `from` to rate `to` (Hz) by linear interpolation,
// without filtering. The input comes back unchanged when either rate is not
// positive, the rates differ by 1 Hz or less, the track is empty, or the
// result would have fewer than 2 samples.
std::vector<float> resampleLinear(std::span<const float> x, double from, double to);
