#include "audio/normalize.hpp"

#include <cmath>

#include "audio/levels.hpp"
#include "base/console.hpp"

namespace {

// Gains this close to 1 would change nothing audible.
constexpr float kUnityTolerance = 0.001f;

}  // namespace

std::optional<float> normalizationGain(float p, float target, float maxGain, float minPeak) {
  if (!(minPeak < p)) {
    logErr(formatLine("normalize: peak %.4f below floor — leaving as-is", static_cast<double>(p)));
    return std::nullopt;
  }
  float g = target / p;
  if (maxGain < g) g = maxGain;
  if (std::fabs(g - 1.0f) < kUnityTolerance) return std::nullopt;
  const float after = std::fmin(p * g, 1.0f);
  logErr(formatLine("normalize: peak %.4f × gain %.2f → %.3f", static_cast<double>(p),
                    static_cast<double>(g), static_cast<double>(after)));
  return g;
}

void normalizeInPlace(std::span<float> x, float target, float maxGain, float minPeak) {
  if (x.empty()) return;
  const std::optional<float> g = normalizationGain(peak(x), target, maxGain, minPeak);
  if (!g) return;
  for (float& s : x) s = normalizedSample(s, *g);
}
