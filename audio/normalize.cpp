#include "audio/normalize.hpp"

#include <cmath>

#include "audio/levels.hpp"
#include "base/console.hpp"

namespace {

// Gains this close to 1 would change nothing audible.
constexpr float kUnityTolerance = 0.001f;

}  // namespace

Normalization planNormalization(float p, float target, float maxGain, float minPeak) {
  Normalization plan;
  plan.peak = p;
  if (!(minPeak < p)) {
    plan.belowFloor = true;
    return plan;
  }
  float g = target / p;
  if (maxGain < g) g = maxGain;
  if (std::fabs(g - 1.0f) >= kUnityTolerance) plan.gain = g;
  return plan;
}

void logNormalization(const Normalization& plan) {
  const auto p = static_cast<double>(plan.peak);
  if (plan.belowFloor) {
    logErr(formatLine("normalize: peak %.4f below floor — leaving as-is", p));
  } else if (plan.gain) {
    const float after = std::fmin(plan.peak * *plan.gain, 1.0f);
    logErr(formatLine("normalize: peak %.4f × gain %.2f → %.3f", p, static_cast<double>(*plan.gain),
                      static_cast<double>(after)));
  }
}

void normalizeInPlace(std::span<float> x, float target, float maxGain, float minPeak) {
  if (x.empty()) return;
  const Normalization plan = planNormalization(peak(x), target, maxGain, minPeak);
  if (plan.gain)
    for (float& s : x) s = normalizedSample(s, *plan.gain);
  logNormalization(plan);
}
