#pragma once

#include <array>
#include <cstdint>

inline constexpr int64_t kFrame = 1024;  // STFT frame length, also the short transform size
inline constexpr int64_t kHop = 512;     // distance between frame starts
static_assert(kHop * 2 == kFrame, "frames overlap by half");

// The square root of the periodic Hann window of kFrame points, used for
// both analysis and synthesis: win[i]^2 = sin^2(pi*i/1024), so the product of
// the two windows is a Hann window, and Hann windows kHop apart sum to 1.
std::array<float, kFrame> makeSqrtHannWindow();
