#include "audio/levels.hpp"

#include <emmintrin.h>

#include <algorithm>

namespace {

// A sample this close to full scale has, in practice, been clipped.
constexpr float kClipLevel = 0.999f;

void addToPeak(float& m, float s) {
  const float a = std::fabs(s);
  if (m < a) m = a;  // false for NaN: it never becomes the maximum
}

// max(a, m) keeps m when a is NaN, as addToPeak does; the largest of finite
// magnitudes does not depend on the order they are met in, so four running
// peaks give the one of a single pass.
float foldLanes(__m128 m4, float m) {
  alignas(16) float lanes[4];
  _mm_store_ps(lanes, m4);
  for (const float lane : lanes) m = std::max(m, lane);
  return m;
}

const __m128 kAbsMask = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));

}  // namespace

void LevelTally::add(std::span<const float> x) {
  const std::size_t n = x.size(), vectorEnd = n & ~std::size_t{3};
  const __m128 limit = _mm_set1_ps(kClipLevel);
  __m128 m4 = _mm_set1_ps(peak);
  // Each lane counts at most n / 4 samples: 32 bits hold the count of any
  // track a WAV file can carry.
  __m128i clipped4 = _mm_setzero_si128();
  for (std::size_t i = 0; i < vectorEnd; i += 4) {
    const __m128 a = _mm_and_ps(_mm_loadu_ps(x.data() + i), kAbsMask);
    m4 = _mm_max_ps(a, m4);
    clipped4 = _mm_sub_epi32(clipped4, _mm_castps_si128(_mm_cmpge_ps(a, limit)));  // NaN: not clipped
  }
  peak = foldLanes(m4, peak);
  alignas(16) std::uint32_t counts[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(counts), clipped4);
  for (const std::uint32_t c : counts) clipped += c;
  for (std::size_t i = vectorEnd; i < n; ++i) {
    addToPeak(peak, x[i]);
    if (std::fabs(x[i]) >= kClipLevel) ++clipped;
  }
}

// |a + b| is the magnitude of the mix however its zero is signed, so the
// sums need not start from a zero of their own.
void addSumToPeak(float& m, const float* a, const float* b, std::size_t n) {
  const std::size_t vectorEnd = n & ~std::size_t{3};
  __m128 m4 = _mm_set1_ps(m);
  for (std::size_t i = 0; i < vectorEnd; i += 4) {
    const __m128 sum = _mm_add_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i));
    m4 = _mm_max_ps(_mm_and_ps(sum, kAbsMask), m4);
  }
  m = foldLanes(m4, m);
  for (std::size_t i = vectorEnd; i < n; ++i) addToPeak(m, a[i] + b[i]);
}

float peak(std::span<const float> x) {
  LevelTally t;
  t.add(x);
  return t.peak;
}

float clipPct(std::span<const float> x) {
  LevelTally t;
  t.add(x);
  return clipPercent(t.clipped, x.size());
}

float clipPercent(std::uint64_t clipped, std::size_t total) {
  if (total == 0) return 0.0f;
  return static_cast<float>(clipped) / static_cast<float>(total) * 100.0f;
}
