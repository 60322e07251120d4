#pragma once

#include <span>

// Largest absolute sample value; 0 for an empty track. NaN samples are
// passed over.
float peak(std::span<const float> x);

// Percentage (0 to 100) of samples whose absolute value is at least 0.999;
// 0 for an empty track.
float clipPct(std::span<const float> x);
