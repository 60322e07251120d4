#pragma once

#include <span>

// The mean of the squares of the samples, (1/n) * sum x[i]^2, as a float;
// 0 for an empty span.
float meanSquare(std::span<const float> samples);

// x[i] = sqrt(x[i]) for every element, correctly rounded as std::sqrt
// (vector instructions where the processor's baseline has them).
void sqrtInPlace(std::span<float> x);
