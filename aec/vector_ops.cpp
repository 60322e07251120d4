#include "aec/vector_ops.hpp"

#include <cmath>
#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

float meanSquare(std::span<const float> samples) {
  const size_t n = samples.size();
  if (n == 0) return 0.0f;
  // Each square of a float is exact in double (24 + 24 bits < 53), so the
  // only rounding is in the sums. Four double accumulators take every fourth
  // sample, in index order, and are added pairwise at the end: the result is
  // far more accurate than a float running sum, identical on every run and
  // every machine, and the four chains keep the adder busy. The mean is
  // rounded to float once, at the end.
  double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;
  const float* x = samples.data();
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const double x0 = x[i], x1 = x[i + 1], x2 = x[i + 2], x3 = x[i + 3];
    a0 += x0 * x0;
    a1 += x1 * x1;
    a2 += x2 * x2;
    a3 += x3 * x3;
  }
  for (; i < n; ++i) {
    const double xi = x[i];
    a0 += xi * xi;
  }
  const double sum = (a0 + a1) + (a2 + a3);
  return static_cast<float>(sum / static_cast<double>(n));
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
