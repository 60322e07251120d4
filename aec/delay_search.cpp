// Every cross-spectrum bin is scaled to (nearly) unit magnitude, so the
// correlation of broadband sound becomes a sharp peak at the lag of the echo
// whatever the spectra's colour.

#include "aec/delay_search.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <span>

#include "aec/aec_constants.hpp"
#include "aec/energy_gate.hpp"
#include "aec/vector_ops.hpp"

using namespace aec;

namespace {

int64_t saturatingAdd(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? std::numeric_limits<int64_t>::max()
                                                      : std::numeric_limits<int64_t>::min();
  return r;
}

// M <- M*conj(Y) bin by bin (interleaved spectra), and
// magnitude2[k] = |M*conj(Y)|^2: cr = M.re*Y.re + M.im*Y.im,
// ci = Y.re*M.im - M.re*Y.im.
inline void crossBin(float* __restrict M, const float* __restrict Y, float* __restrict magnitude2,
                     int64_t k) {
  const float mr = M[2 * k], mi = M[2 * k + 1];
  const float yr = Y[2 * k], yi = Y[2 * k + 1];
  const float cr = mr * yr + mi * yi;
  const float ci = yr * mi - mr * yi;
  M[2 * k] = cr;
  M[2 * k + 1] = ci;
  magnitude2[k] = cr * cr + ci * ci;
}
[[gnu::noinline]] void crossBlock(float* __restrict M, const float* __restrict Y,
                                  float* __restrict magnitude2) {
  for (int64_t k = 0; k < kPhatBlock; ++k) crossBin(M, Y, magnitude2, k);
}

// C[k] <- C[k] / (magnitude[k] + 1e-6): every bin keeps its phase, and its
// magnitude becomes |C| / (|C| + 1e-6), near 1 wherever C is well above 1e-6.
inline void phaseBin(float* __restrict C, const float* __restrict magnitude, int64_t k) {
  const float m = magnitude[k] + kPhatEps;
  C[2 * k] = C[2 * k] / m;
  C[2 * k + 1] = C[2 * k + 1] / m;
}
[[gnu::noinline]] void phaseBlock(float* __restrict C, const float* __restrict magnitude) {
  for (int64_t k = 0; k < kPhatBlock; ++k) phaseBin(C, magnitude, k);
}

// P = M*conj(Y) / (|M*conj(Y)| + 1e-6) over bins 0 ... N/2, into M, a block
// of bins at a time that stays in the first-level cache: the cross-spectrum
// and its squared magnitude, the square roots (as vector code), the
// division. The last bin, N/2, follows alone.
void phaseTransform(float* M, const float* Y) {
  alignas(64) float magnitude[kPhatBlock];
  for (int64_t b = 0; b < kCorrN / 2; b += kPhatBlock) {
    crossBlock(M + 2 * b, Y + 2 * b, magnitude);
    sqrtInPlace(std::span<float>(magnitude, kPhatBlock));
    phaseBlock(M + 2 * b, magnitude);
  }
  float* lastM = M + 2 * (kCorrN / 2);
  crossBin(lastM, Y + 2 * (kCorrN / 2), magnitude, 0);
  magnitude[0] = std::sqrt(magnitude[0]);
  phaseBin(lastM, magnitude, 0);
}

}  // namespace

StretchCorrelation::StretchCorrelation() : memory_(sizeof(std::complex<float>) * kCorrHalfSpectrum) {}

LagCorrelator::LagCorrelator(Dft& forward, Dft& inverse)
    : forward_(forward),
      inverse_(inverse),
      stretchMemory_(sizeof(float) * kCorrN),
      mMemory_(sizeof(std::complex<float>) * kCorrHalfSpectrum) {}

void LagCorrelator::correlate(const SampleSource& mic, const SampleSource& reference, int64_t at,
                              int64_t window, StretchCorrelation& out) {
  const int64_t n = std::clamp<int64_t>(window, 0, kMaxStretch);
  float* const stretch = stretchMemory_.as<float>();
  std::complex<float>* const M = mMemory_.as<std::complex<float>>();
  out.stretch = n;
  out.quiet = true;
  // The stretch is n samples followed by zeros up to N.
  if (dirty_ > n) std::fill(stretch + n, stretch + dirty_, 0.0f);
  dirty_ = n;
  mic.read(at, n, stretch);
  const ValidRange v = validRange(at, n, mic.size());
  if (v.lo >= v.hi ||
      energyBelow(std::span<const float>(stretch + v.lo, static_cast<size_t>(v.hi - v.lo)),
                  static_cast<float>(n) * kQuietMeanSquare)) {
    return;
  }
  forward_.forwardReal(stretch, M);
  reference.read(at, n, stretch);
  forward_.forwardReal(stretch, out.spectrum());
  // The weighted cross-spectrum; the spectrum of the real correlation is
  // Hermitian, so bins 0 ... N/2 carry all of it. The real part of its
  // inverse is the correlation (the imaginary part is 0); the reference
  // spectrum is no longer needed and its memory takes it.
  phaseTransform(reinterpret_cast<float*>(M), reinterpret_cast<const float*>(out.spectrum()));
  inverse_.inverseHermitian(M, out.values());
  out.rms = std::sqrt(meanSquare(std::span<const float>(out.values(), static_cast<size_t>(kCorrN))));
  out.quiet = false;
}

std::optional<int64_t> pickLag(const StretchCorrelation& c, int64_t center, int64_t radius) {
  if (c.quiet) return std::nullopt;
  // Lags of magnitude N - n or more would read the correlation where it has
  // wrapped around onto lags of the other sign; they are not searched: the
  // range is clamped to |lag| < N - n (it only matters at rates above about
  // 262 kHz, where the first search's +-2 s exceeds what the transform holds).
  // center +- radius saturates instead of overflowing.
  const int64_t limit = kCorrN - c.stretch - 1;
  const int64_t first = std::max(saturatingAdd(center, -radius), -limit);
  const int64_t last = std::min(saturatingAdd(center, radius), limit);
  const float* corr = c.values();
  float best = -std::numeric_limits<float>::max();
  int64_t candidate = center;
  for (int64_t lag = first; lag <= last; ++lag) {
    // The low 20 bits: lag mod N, negative lags from the top end.
    const float v = std::fabs(corr[lag & (kCorrN - 1)]);
    if (v > best) {  // ties keep the smaller lag; NaN never wins
      best = v;
      candidate = lag;
    }
  }
  if (best < (c.rms + kRmsEps) * kPeakOverRms) return std::nullopt;
  return candidate;
}
