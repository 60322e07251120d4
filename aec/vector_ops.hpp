#pragma once

#include <span>

// The mean of the squares of the samples, (1/n) * sum x[i]^2, as a float;
// 0 for an empty span.
float meanSquare(std::span<const float> samples);
