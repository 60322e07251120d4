#include "audio/normalize.hpp"

#include <emmintrin.h>

#include <cmath>

#include "audio/levels.hpp"
#include "base/console.hpp"

namespace {

// Gains this close to 1 would change nothing audible.
constexpr float kUnityTolerance = 0.001f;

float normalizedSample(float s, float g) {
  float v = s * g;
  if (v > 1.0f) v = 1.0f;  // upper limit first, then the lower one
  if (v < -1.0f) v = -1.0f;
  return v;
}

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

// min(1, v) is v unless 1 < v, and max(-1, v) is v unless -1 > v: a NaN
// passes both, as it passes the two comparisons of normalizedSample.
void normalizeSamples(const float* x, float* out, std::size_t n, float g) {
  const std::size_t vectorEnd = n & ~std::size_t{3};
  const __m128 gain = _mm_set1_ps(g), one = _mm_set1_ps(1.0f), minusOne = _mm_set1_ps(-1.0f);
  for (std::size_t i = 0; i < vectorEnd; i += 4) {
    const __m128 v = _mm_mul_ps(_mm_loadu_ps(x + i), gain);
    _mm_storeu_ps(out + i, _mm_max_ps(minusOne, _mm_min_ps(one, v)));
  }
  for (std::size_t i = vectorEnd; i < n; ++i) out[i] = normalizedSample(x[i], g);
}

void normalizeInPlace(std::span<float> x, float target, float maxGain, float minPeak) {
  if (x.empty()) return;
  const Normalization plan = planNormalization(peak(x), target, maxGain, minPeak);
  if (plan.gain) normalizeSamples(x.data(), x.data(), x.size(), *plan.gain);
  logNormalization(plan);
}
