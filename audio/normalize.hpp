#pragma once

#include <cstddef>
#include <optional>
#include <span>

// Scales `x` so that its peak becomes `target`, with the gain capped at
// `maxGain` and the result limited to [-1, 1]. A track whose peak is not
// above `minPeak` is left as it is. Prints one line when it changes the
// track or finds it below the floor; an empty track or a gain within 0.001
// of 1 prints nothing.
void normalizeInPlace(std::span<float> x, float target, float maxGain, float minPeak);

// The same in three steps, for a track written as it is read: the plan for
// a non-empty track of peak `p`, each sample through normalizeSamples when it
// has a gain, then the line normalizeInPlace would print, if any.
struct Normalization {
  float peak = 0.0f;
  std::optional<float> gain;  // nothing: the track stays as it is
  bool belowFloor = false;
};
Normalization planNormalization(float p, float target, float maxGain, float minPeak);
void logNormalization(const Normalization& plan);

// out[i] = x[i] * g limited to [-1, 1] (the upper limit first, then the
// lower one; a NaN stays NaN) for i in [0, n); `out` may be `x`.
void normalizeSamples(const float* x, float* out, std::size_t n, float g);
