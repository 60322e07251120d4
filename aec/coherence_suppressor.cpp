// The per-bin work of one active frame runs as a single pass over bins
// 1 ... 512, four bins at a time in SSE2 registers (the baseline of x86-64).
// Bin by bin it performs, in this order:
//   sxyRe = (mr*yr + mi*yi)*mu + sxyRe*lambda
//   sxyIm = (yr*mi - mr*yi)*mu + sxyIm*lambda
//   sxx   = sxx*lambda + (mr*mr + mi*mi)*mu
//   syy   = syy*lambda + pw*mu
//   g2    = min((sxyRe^2 + sxyIm^2) / (sxx*syy + 1e-12), 1)   (NaN counts as 1)
//   gain  = sqrt(max(1 - 1.5*g2, 0)); below 0.08 it is 0.08, from 0.9999 on 1
//   O     = M * gain
// The vector forms are exact stand-ins for the scalar selections: minps
// returns its second operand (1) for a NaN quotient, max(v, 0) is
// v > 0 ? v : 0, and sqrtps rounds as sqrtss.

#include "aec/coherence_suppressor.hpp"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>

using namespace aec;

void CoherenceSuppressor::reset() {
  std::fill(sxyRe_.begin(), sxyRe_.end(), 0.0f);
  std::fill(sxyIm_.begin(), sxyIm_.end(), 0.0f);
  std::fill(sxx_.begin(), sxx_.end(), 0.0f);
  std::fill(syy_.begin(), syy_.end(), 0.0f);
}

float CoherenceSuppressor::suppress(const std::complex<float>* Mc, const std::complex<float>* Yc,
                                    const float* __restrict pw, std::complex<float>* Oc,
                                    bool& engaged) {
  const float* __restrict M = reinterpret_cast<const float*>(Mc);
  const float* __restrict Y = reinterpret_cast<const float*>(Yc);
  float* __restrict O = reinterpret_cast<float*>(Oc);
  float* __restrict sxyRe = sxyRe_.data();
  float* __restrict sxyIm = sxyIm_.data();
  float* __restrict sxx = sxx_.data();
  float* __restrict syy = syy_.data();
  O[0] = M[0] * 1.0f;
  O[1] = M[1] * 1.0f;
  const __m128 lambda = _mm_set1_ps(kAvgLambda);
  const __m128 mu = _mm_set1_ps(kAvgMu);
  const __m128 eps = _mm_set1_ps(kCoherenceEps);
  const __m128 one = _mm_set1_ps(1.0f);
  const __m128 zero = _mm_setzero_ps();
  const __m128 overSub = _mm_set1_ps(kOverSub);
  const __m128 pass = _mm_set1_ps(kPassGain);
  const __m128 floorGain = _mm_set1_ps(kFloorEcho);
  __m128 largest = zero;
  __m128 scaledAny = zero;
  for (int64_t k = 1; k <= kBins; k += 4) {
    // Bins k ... k+3: real parts in one register, imaginary in another.
    const __m128 m0 = _mm_loadu_ps(M + 2 * k), m1 = _mm_loadu_ps(M + 2 * k + 4);
    const __m128 y0 = _mm_loadu_ps(Y + 2 * k), y1 = _mm_loadu_ps(Y + 2 * k + 4);
    const __m128 mr = _mm_shuffle_ps(m0, m1, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 mi = _mm_shuffle_ps(m0, m1, _MM_SHUFFLE(3, 1, 3, 1));
    const __m128 yr = _mm_shuffle_ps(y0, y1, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 yi = _mm_shuffle_ps(y0, y1, _MM_SHUFFLE(3, 1, 3, 1));
    // sxyRe = (mr*yr + mi*yi)*mu + sxyRe*lambda, and so on.
    const __m128 re = _mm_add_ps(
        _mm_mul_ps(_mm_add_ps(_mm_mul_ps(mr, yr), _mm_mul_ps(mi, yi)), mu),
        _mm_mul_ps(_mm_loadu_ps(sxyRe + k), lambda));
    const __m128 im = _mm_add_ps(
        _mm_mul_ps(_mm_sub_ps(_mm_mul_ps(yr, mi), _mm_mul_ps(mr, yi)), mu),
        _mm_mul_ps(_mm_loadu_ps(sxyIm + k), lambda));
    const __m128 xx = _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(sxx + k), lambda),
                                 _mm_mul_ps(_mm_add_ps(_mm_mul_ps(mr, mr), _mm_mul_ps(mi, mi)), mu));
    const __m128 yy = _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(syy + k), lambda),
                                 _mm_mul_ps(_mm_loadu_ps(pw + k), mu));
    _mm_storeu_ps(sxyRe + k, re);
    _mm_storeu_ps(sxyIm + k, im);
    _mm_storeu_ps(sxx + k, xx);
    _mm_storeu_ps(syy + k, yy);
    const __m128 q = _mm_div_ps(_mm_add_ps(_mm_mul_ps(re, re), _mm_mul_ps(im, im)),
                                _mm_add_ps(_mm_mul_ps(xx, yy), eps));
    const __m128 g2 = _mm_min_ps(q, one);
    largest = _mm_max_ps(g2, largest);  // g2 > largest ? g2 : largest
    const __m128 g = _mm_sqrt_ps(_mm_max_ps(_mm_sub_ps(one, _mm_mul_ps(overSub, g2)), zero));
    // Below 0.9999: max(g, 0.08), that is g or the floor; else 1.
    const __m128 scaled = _mm_cmplt_ps(g, pass);
    scaledAny = _mm_or_ps(scaledAny, scaled);
    const __m128 gain =
        _mm_or_ps(_mm_and_ps(scaled, _mm_max_ps(g, floorGain)), _mm_andnot_ps(scaled, one));
    const __m128 orr = _mm_mul_ps(mr, gain), oi = _mm_mul_ps(mi, gain);
    _mm_storeu_ps(O + 2 * k, _mm_unpacklo_ps(orr, oi));
    _mm_storeu_ps(O + 2 * k + 4, _mm_unpackhi_ps(orr, oi));
  }
  engaged = _mm_movemask_ps(scaledAny) != 0;
  alignas(16) float m[4];
  _mm_store_ps(m, largest);
  // sqrt is monotonic: the largest coherence is the root of the largest g2.
  return std::sqrt(std::max(std::max(m[0], m[1]), std::max(m[2], m[3])));
}
