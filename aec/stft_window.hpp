#pragma once

#include <array>

#include "aec/aec_constants.hpp"

// The square root of the periodic Hann window of 1024 points, used for both
// analysis and synthesis: win[i]^2 = sin^2(pi*i/1024), so the product of the
// two windows is a Hann window, and Hann windows a hop apart sum to 1.
using StftWindow = std::array<float, aec::kFrame>;
StftWindow makeSqrtHannWindow();
