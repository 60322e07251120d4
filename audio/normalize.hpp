#pragma once

#include <span>

// Scales `x` so that its peak becomes `target`, with the gain capped at
// `maxGain` and the result limited to [-1, 1]. A track whose peak is not
// above `minPeak` is left as it is. Prints one line when it changes the
// track or finds it below the floor; an empty track or a gain within 0.001
// of 1 prints nothing.
void normalizeInPlace(std::span<float> x, float target, float maxGain, float minPeak);
