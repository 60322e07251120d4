// Delay search: generalised cross-correlation with phase-transform weighting
// (GCC-PHAT). Every cross-spectrum bin is scaled to (nearly) unit magnitude,
// so the correlation of broadband sound becomes a sharp peak at the lag of
// the echo whatever the spectra's colour; the peak must reach three times
// the root mean square of the whole correlation to count.

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>

#include "aec/aligned_buffer.hpp"
#include "aec/echo_canceller.hpp"
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

// Copies the part of track[at ... at+n) that exists to dst[i] (i = j - at);
// positions before 0 and from the track's end on are left as they are (0).
// Returns the range written.
std::pair<int64_t, int64_t> copyStretch(std::span<const float> track, int64_t at, int64_t n,
                                        float* dst) {
  const int64_t size = static_cast<int64_t>(track.size());
  if (n <= 0 || at >= size || at <= -n) return {0, 0};
  const int64_t lo = at < 0 ? -at : 0;
  const int64_t hi = std::min(n, size - at);
  std::copy(track.data() + at + lo, track.data() + at + hi, dst + lo);
  return {lo, hi};
}

// The loops run over the N/2 bins below the last one, a multiple of the
// vector width, so that -O2 makes vector code of them; the last bin follows.
constexpr int64_t kBulk = kN / 2;

// M <- M*conj(Y) bin by bin (interleaved half spectra), and
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
[[gnu::noinline]] void crossSpectrum(float* __restrict M, const float* __restrict Y, float* __restrict magnitude2) {
  for (int64_t k = 0; k < kBulk; ++k) crossBin(M, Y, magnitude2, k);
  crossBin(M, Y, magnitude2, kBulk);
}

// C[k] <- C[k] / (magnitude[k] + 1e-6): every bin keeps its phase, and its
// magnitude becomes |C| / (|C| + 1e-6), near 1 wherever C is well above 1e-6.
inline void phaseBin(float* __restrict C, const float* __restrict magnitude, int64_t k) {
  const float m = magnitude[k] + kPhatEps;
  C[2 * k] = C[2 * k] / m;
  C[2 * k + 1] = C[2 * k + 1] / m;
}
[[gnu::noinline]] void phaseTransform(float* __restrict C, const float* __restrict magnitude) {
  for (int64_t k = 0; k < kBulk; ++k) phaseBin(C, magnitude, k);
  phaseBin(C, magnitude, kBulk);
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
  std::fill(s.micRe.begin(), s.micRe.begin() + s.dirty, 0.0f);
  std::fill(s.refRe.begin(), s.refRe.begin() + s.dirty, 0.0f);
  s.dirty = n;

  // Microphone energy, float, in order of position; absent samples add nothing.
  const auto [lo, hi] = copyStretch(mic, at, n, s.micRe.data());
  float e = 0.0f;
  for (int64_t i = lo; i < hi; ++i) e += s.micRe[static_cast<size_t>(i)] * s.micRe[static_cast<size_t>(i)];
  if (e < static_cast<float>(n) * kQuietMeanSquare) return std::nullopt;
  copyStretch(reference, at, n, s.refRe.data());

  corrFwd_->forwardReal(s.micRe.data(), s.M.data());
  corrFwd_->forwardReal(s.refRe.data(), s.Y.data());
  // P = M*conj(Y) / (|M*conj(Y)| + 1e-6), into M. The spectrum of the real
  // correlation is Hermitian, so bins 0 ... N/2 carry all of it. The
  // magnitudes are taken in a pass of their own (in `corr`, free until the
  // inverse fills it) so that the square roots run as vector code.
  float* P = reinterpret_cast<float*>(s.M.data());
  float* magnitude = s.corr.data();
  crossSpectrum(P, reinterpret_cast<const float*>(s.Y.data()), magnitude);
  sqrtInPlace(std::span<float>(magnitude, kCorrHalfSpectrum));
  phaseTransform(P, magnitude);
  // The real part of the inverse; the imaginary part of a Hermitian
  // spectrum's inverse is 0.
  corrInv_->inverseHermitian(s.M.data(), s.corr.data());

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
  const float* corr = s.corr.data();
  for (int64_t lag = first; lag <= last; ++lag) {
    // The low 20 bits: lag mod N, negative lags from the top end.
    const float v = std::fabs(corr[lag & (kN - 1)]);
    if (v > best) {  // ties keep the smaller lag; NaN never wins
      best = v;
      candidate = lag;
    }
  }

  const float rms = std::sqrt(meanSquare(s.corr));
  if (best < (rms + kRmsEps) * kPeakOverRms) return std::nullopt;
  return candidate;
}
