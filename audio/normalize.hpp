#pragma once

#include <optional>
#include <span>

// Scales `x` so that its peak becomes `target`, with the gain capped at
// `maxGain` and the result limited to [-1, 1]. A track whose peak is not
// above `minPeak` is left as it is. Prints one line when it changes the
// track or finds it below the floor; an empty track or a gain within 0.001
// of 1 prints nothing.
void normalizeInPlace(std::span<float> x, float target, float maxGain, float minPeak);

// The same in three steps, for a track written as it is read: the plan for
// a non-empty track of peak `p`, each sample through normalizedSample when
// it has a gain, then the line normalizeInPlace would print, if any.
struct Normalization {
  float peak = 0.0f;
  std::optional<float> gain;  // nothing: the track stays as it is
  bool belowFloor = false;
};
Normalization planNormalization(float p, float target, float maxGain, float minPeak);
void logNormalization(const Normalization& plan);

inline float normalizedSample(float s, float g) {
  float v = s * g;
  if (v > 1.0f) v = 1.0f;  // upper limit first, then the lower one
  if (v < -1.0f) v = -1.0f;
  return v;
}
