// Delay search: generalised cross-correlation with phase-transform weighting
// (GCC-PHAT). Every cross-spectrum bin is scaled to (nearly) unit magnitude,
// so the correlation of broadband sound becomes a sharp peak at the lag of
// the echo whatever the spectra's colour; the peak must reach three times
// the root mean square of the whole correlation to count.

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>

#include "aec/echo_canceller.hpp"
#include "aec/energy_gate.hpp"
#include "aec/lag_scratch.hpp"
#include "aec/vector_ops.hpp"

namespace {

constexpr int64_t kN = kCorrN;
// At most half the transform is filled, so that lags of magnitude below
// kN - n do not wrap around the circular correlation.
constexpr int64_t kMaxStretch = kN / 2;
static_assert(kMaxStretch * 2 == kN, "the correlation length is twice the longest stretch");

// A stretch quieter than a mean square of 1e-6 (RMS 0.001, -60 dBFS) over
// all n positions has nothing to correlate.
constexpr float kQuietMeanSquare = 0.000001f;
// Keeps the phase weighting finite where the cross-spectrum is 0.
constexpr float kPhatEps = 0.000001f;
// The peak must reach this multiple of the correlation's RMS.
constexpr float kPeakOverRms = 3.0f;
constexpr float kRmsEps = 1e-9f;

int64_t saturatingAdd(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? std::numeric_limits<int64_t>::max()
                                                      : std::numeric_limits<int64_t>::min();
  return r;
}

// Loads track[at ... at+n) into dst[0 ... n): positions before the track's
// start or from its end on are 0, and so is everything after them. `dirty`
// says how far dst may still hold an earlier stretch; only that much is
// cleared, and it is updated. Returns the range [lo, hi) taken from the track.
std::pair<int64_t, int64_t> loadStretch(std::span<const float> track, int64_t at, int64_t n,
                                        float* dst, int64_t& dirty) {
  const int64_t size = static_cast<int64_t>(track.size());
  int64_t lo = 0, hi = 0;
  if (n > 0 && at < size && at > -n) {
    lo = at < 0 ? -at : 0;
    hi = std::min(n, size - at);
  }
  std::fill(dst, dst + std::min(lo, dirty), 0.0f);
  std::copy(track.data() + at + lo, track.data() + at + hi, dst + lo);
  if (dirty > hi) std::fill(dst + hi, dst + dirty, 0.0f);
  dirty = hi;
  return {lo, hi};
}

// The phase transform runs over blocks of bins that stay in the first-level
// cache: the cross-spectrum and its squared magnitude, then the square roots
// (as vector code), then the division. The last bin, N/2, follows alone.
constexpr int64_t kBlock = 2048;
static_assert((kN / 2) % kBlock == 0);

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
  for (int64_t k = 0; k < kBlock; ++k) crossBin(M, Y, magnitude2, k);
}

// C[k] <- C[k] / (magnitude[k] + 1e-6): every bin keeps its phase, and its
// magnitude becomes |C| / (|C| + 1e-6), near 1 wherever C is well above 1e-6.
inline void phaseBin(float* __restrict C, const float* __restrict magnitude, int64_t k) {
  const float m = magnitude[k] + kPhatEps;
  C[2 * k] = C[2 * k] / m;
  C[2 * k + 1] = C[2 * k + 1] / m;
}
[[gnu::noinline]] void phaseBlock(float* __restrict C, const float* __restrict magnitude) {
  for (int64_t k = 0; k < kBlock; ++k) phaseBin(C, magnitude, k);
}

// P = M*conj(Y) / (|M*conj(Y)| + 1e-6) over bins 0 ... N/2, into M.
void phaseTransform(float* M, const float* Y) {
  alignas(64) float magnitude[kBlock];
  for (int64_t b = 0; b < kN / 2; b += kBlock) {
    crossBlock(M + 2 * b, Y + 2 * b, magnitude);
    sqrtInPlace(std::span<float>(magnitude, kBlock));
    phaseBlock(M + 2 * b, magnitude);
  }
  float* lastM = M + 2 * (kN / 2);
  crossBin(lastM, Y + 2 * (kN / 2), magnitude, 0);
  magnitude[0] = std::sqrt(magnitude[0]);
  phaseBin(lastM, magnitude, 0);
}

}  // namespace

std::optional<int64_t> EchoCanceller::bestLag(std::span<const float> mic,
                                              std::span<const float> reference, int64_t at,
                                              int64_t window, int64_t center,
                                              int64_t radius) const {
  auto scratch = std::make_unique<LagScratch>();
  return bestLagWith(*scratch, mic, reference, at, window, center, radius);
}

std::optional<int64_t> EchoCanceller::bestLagWith(LagScratch& s, std::span<const float> mic,
                                                  std::span<const float> reference, int64_t at,
                                                  int64_t window, int64_t center,
                                                  int64_t radius) const {
  const int64_t n = std::clamp<int64_t>(window, 0, kMaxStretch);
  const auto [lo, hi] = loadStretch(mic, at, n, s.stretch, s.dirty);
  if (energyBelow(std::span<const float>(s.stretch + lo, static_cast<size_t>(hi - lo)),
                  static_cast<float>(n) * kQuietMeanSquare)) {
    return std::nullopt;
  }
  corrFwd_->forwardReal(s.stretch, s.M);
  loadStretch(reference, at, n, s.stretch, s.dirty);
  corrFwd_->forwardReal(s.stretch, s.Y);
  // The weighted cross-spectrum; the spectrum of the real correlation is
  // Hermitian, so bins 0 ... N/2 carry all of it.
  phaseTransform(reinterpret_cast<float*>(s.M), reinterpret_cast<const float*>(s.Y));
  // The real part of the inverse; the imaginary part of a Hermitian
  // spectrum's inverse is 0. Y is no longer needed and takes it.
  float* const corr = s.correlation();
  corrInv_->inverseHermitian(s.M, corr);

  // Lags of magnitude kN - n or more would read the correlation where it has
  // wrapped around onto lags of the other sign; they are not searched: the
  // range is clamped to |lag| < kN - n (it only matters at rates above about
  // 262 kHz, where the first search's +-2 s exceeds what the transform holds).
  // center +- radius saturates instead of overflowing.
  const int64_t limit = kN - n - 1;
  const int64_t first = std::max(saturatingAdd(center, -radius), -limit);
  const int64_t last = std::min(saturatingAdd(center, radius), limit);
  float best = -std::numeric_limits<float>::max();
  int64_t candidate = center;
  for (int64_t lag = first; lag <= last; ++lag) {
    // The low 20 bits: lag mod N, negative lags from the top end.
    const float v = std::fabs(corr[lag & (kN - 1)]);
    if (v > best) {  // ties keep the smaller lag; NaN never wins
      best = v;
      candidate = lag;
    }
  }

  const float rms = std::sqrt(meanSquare(std::span<const float>(corr, static_cast<size_t>(kN))));
  if (best < (rms + kRmsEps) * kPeakOverRms) return std::nullopt;
  return candidate;
}
