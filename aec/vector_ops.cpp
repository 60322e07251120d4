#include "aec/vector_ops.hpp"

#include <cmath>
#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Each square of a float is exact in double (24 + 24 bits < 53), so the only
// rounding is in the sums. Sample i goes to running sum i mod 4, in index
// order, and the four sums are added pairwise at the end: far more accurate
// than a float running sum, identical on every run and machine, and the four
// chains keep the adder busy. The mean is rounded to float once, at the end.
void MeanSquareAccumulator::add(std::span<const float> samples) {
  const float* x = samples.data();
  const size_t n = samples.size();
  size_t i = 0;
  for (; i < n && (count_ + i) % 4 != 0; ++i) {
    const double v = x[i];
    lane_[(count_ + i) % 4] += v * v;
  }
  double a0 = lane_[0], a1 = lane_[1], a2 = lane_[2], a3 = lane_[3];
  for (; i + 4 <= n; i += 4) {
    const double x0 = x[i], x1 = x[i + 1], x2 = x[i + 2], x3 = x[i + 3];
    a0 += x0 * x0;
    a1 += x1 * x1;
    a2 += x2 * x2;
    a3 += x3 * x3;
  }
  lane_[0] = a0;
  lane_[1] = a1;
  lane_[2] = a2;
  lane_[3] = a3;
  for (; i < n; ++i) {
    const double v = x[i];
    lane_[(count_ + i) % 4] += v * v;
  }
  count_ += n;
}

float MeanSquareAccumulator::mean() const {
  if (count_ == 0) return 0.0f;
  const double sum = (lane_[0] + lane_[1]) + (lane_[2] + lane_[3]);
  return static_cast<float>(sum / static_cast<double>(count_));
}

float meanSquare(std::span<const float> samples) {
  MeanSquareAccumulator acc;
  acc.add(samples);
  return acc.mean();
}

void sqrtInPlace(std::span<float> x) {
  float* p = x.data();
  const size_t n = x.size();
  size_t i = 0;
#if defined(__SSE2__)
  // sqrtps rounds exactly like sqrtss: the same values as the scalar loop.
  // (The compiler keeps std::sqrt scalar because of its errno contract.)
  for (; i + 4 <= n; i += 4) _mm_storeu_ps(p + i, _mm_sqrt_ps(_mm_loadu_ps(p + i)));
#endif
  for (; i < n; ++i) p[i] = std::sqrt(p[i]);
}
