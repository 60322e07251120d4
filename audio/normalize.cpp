#include "audio/normalize.hpp"

#include <cmath>

#include "audio/levels.hpp"
#include "base/console.hpp"

namespace {

// Gains this close to 1 would change nothing audible.
constexpr float kUnityTolerance = 0.001f;

}  // namespace

void normalizeInPlace(std::span<float> x, float target, float maxGain, float minPeak) {
  if (x.empty()) return;
  const float p = peak(x);
  if (!(minPeak < p)) {
    logErr(formatLine("normalize: peak %.4f below floor — leaving as-is", static_cast<double>(p)));
    return;
  }
  float g = target / p;
  if (maxGain < g) g = maxGain;
  if (std::fabs(g - 1.0f) < kUnityTolerance) return;
  for (float& s : x) {
    float v = s * g;
    if (v > 1.0f) v = 1.0f;  // upper limit first, then the lower one
    if (v < -1.0f) v = -1.0f;
    s = v;
  }
  const float after = std::fmin(p * g, 1.0f);
  logErr(formatLine("normalize: peak %.4f × gain %.2f → %.3f", static_cast<double>(p),
                    static_cast<double>(g), static_cast<double>(after)));
}
