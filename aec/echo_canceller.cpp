// The echo canceller, in plain words:
//
// 1. Delay. The loudspeaker echo reaches the microphone late. Every ten
//    seconds of microphone the delay is estimated by a cross-correlation of
//    microphone and reference with phase-transform weighting (GCC-PHAT, over
//    1,048,576-point transforms: see best_lag.cpp); the first segment
//    searches +-2 s, later ones +-0.3 s around the delay in force.
// 2. STFT. Both tracks are cut into 1024-sample frames every 512 samples,
//    weighted with the square root of a Hann window; the reference frame is
//    read `delay` samples earlier than the microphone frame.
// 3. Coherence gain. While the reference carries energy, each bin's smoothed
//    cross-spectrum and powers give the magnitude-squared coherence g2 of
//    microphone and reference; the bin is scaled by sqrt(1 - 1.5 * g2), never
//    below 0.08. Sound that is not in the reference is incoherent with it
//    and passes.
// 4. Synthesis. The scaled spectrum goes back through the inverse transform
//    and is overlap-added with the same window (the two windows multiply to
//    a Hann window, and Hann windows half a frame apart add up to 1).
// 5. Sanity check. A result louder than four times the input's mean square
//    (about +6 dB), or not finite, is discarded in favour of the input.
// 6. Diagnostics. One "[aec] " line on standard error and in ~/.narup-aec.log.
//
// Spectra are held as the bins 0 ... N/2 of real-input transforms; the
// upper bins are their conjugate mirrors, so a gain applied to bin k also
// applies to bin N - k, and bin 512 (no mirror) is scaled once.

#include "aec/echo_canceller.hpp"

#include <algorithm>
#include <cmath>
#include <complex>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "aec/aligned_buffer.hpp"
#include "aec/energy_gate.hpp"
#include "aec/lag_scratch.hpp"
#include "aec/large_buffer.hpp"
#include "aec/stft_window.hpp"
#include "aec/vector_ops.hpp"
#include "base/console.hpp"

namespace {

constexpr int64_t kBins = EchoCanceller::frame / 2;  // bins 1 ... 512 are worked on
constexpr size_t kHalfSpectrum = static_cast<size_t>(kBins + 1);

static_assert(EchoCanceller::frame == kFrame && EchoCanceller::hop == kHop);

// Weight of the new value in the averages: 1 - 0.85 evaluated in float,
// 0.14999998 rather than 0.15.
const float kMu = 1.0f - EchoCanceller::avgLambda;
// The reference counts as active in a frame above this spectral energy
// (about -87 dBFS for a steady signal, since the energy is about 524,288
// times the frame's mean square).
constexpr float kActiveEnergy = 0.001f;
// Gains at or above this leave the bin untouched.
constexpr float kPassGain = 0.9999f;
// Keeps the coherence finite where both powers are 0.
constexpr float kCoherenceEps = 1e-12f;
// Undoes the unscaled forward/inverse pair of the short transforms.
constexpr float kInverseScale = 0.0009765625f;  // 1/1024
// A result is kept when its mean square is at most 4 times the input's
// (about +6 dB) plus this.
constexpr float kSanityMargin = 0.000001f;

// [lo, hi) of the positions i in [0, n) for which at + i indexes a track of
// `size` samples; lo >= hi when there is none. Written so that no
// intermediate overflows whatever `at` is.
struct Span64 {
  int64_t lo;
  int64_t hi;
};
Span64 validPositions(int64_t at, int64_t n, int64_t size) {
  if (n <= 0 || at >= size || at <= -n) return {0, 0};
  const int64_t lo = at < 0 ? -at : 0;
  const int64_t hi = std::min(n, size - at);
  return {lo, hi};
}

// Loops over whole frames have a fixed trip count (a multiple of the vector
// width): the compiler then turns them into vector code at -O2 with no
// scalar remainder. Frames cut short by a track's end take the plain loops.

// out[n] = a[n] * b[n].
void multiplyInto(const float* __restrict a, const float* __restrict b, float* __restrict out,
                  int64_t count) {
  if (count == kFrame) {
    for (int64_t n = 0; n < kFrame; ++n) out[n] = a[n] * b[n];
    return;
  }
  for (int64_t n = 0; n < count; ++n) out[n] = a[n] * b[n];
}

// Overlap-add of one synthesised frame t. The output track starts as zeros
// and each frame adds (t[n] * 1/1024) * win[n] at its position, so a sample
// is 0 + (earlier frame's part) + (this frame's part). `carry` holds
// 0 + (earlier frame's part) for the frame's first half; `head` receives the
// finished samples of the first half, and `carry` the second half's share
// for the next frame: the same sums in the same order, each output sample
// written once.
void overlapAdd(const float* __restrict t, const float* __restrict win, float* __restrict carry,
                float* __restrict head) {
  for (int64_t n = 0; n < kHop; ++n) head[n] = carry[n] + (t[n] * kInverseScale) * win[n];
  for (int64_t n = 0; n < kHop; ++n) {
    carry[n] = 0.0f + (t[kHop + n] * kInverseScale) * win[kHop + n];
  }
}

// pw[k] = re^2 + im^2 of the bins 0 ... 512 of an interleaved half spectrum.
void binPowers(const float* __restrict spectrum, float* __restrict pw) {
  for (int64_t k = 0; k < kBins; ++k) {
    const float re = spectrum[2 * k], im = spectrum[2 * k + 1];
    pw[k] = re * re + im * im;
  }
  const float re = spectrum[2 * kBins], im = spectrum[2 * kBins + 1];
  pw[kBins] = re * re + im * im;
}

// Windowed frame of `track` starting at `at` (which may lie before the start
// or run past the end: missing samples are 0).
void windowFrame(std::span<const float> track, int64_t at, const std::array<float, kFrame>& win,
                 float* out) {
  const Span64 v = validPositions(at, kFrame, static_cast<int64_t>(track.size()));
  if (v.lo >= v.hi) {
    std::fill(out, out + kFrame, 0.0f);
    return;
  }
  std::fill(out, out + v.lo, 0.0f);
  multiplyInto(track.data() + at + v.lo, win.data() + v.lo, out + v.lo, v.hi - v.lo);
  std::fill(out + v.hi, out + kFrame, 0.0f);
}


#if !defined(__SSE2__)
// Updates the four averages of bins 1 ... 512 from one active frame and
// leaves each bin's coherence in g2. M and Y are the interleaved microphone
// and reference half spectra, pw the reference power per bin.
void updateAverages(const float* __restrict M, const float* __restrict Y,
                    const float* __restrict pw, float* __restrict sxyRe, float* __restrict sxyIm,
                    float* __restrict sxx, float* __restrict syy, float* __restrict g2) {
  const float lambda = EchoCanceller::avgLambda;
  const float mu = kMu;
  for (int64_t k = 1; k <= kBins; ++k) {
    const float mr = M[2 * k], mi = M[2 * k + 1];
    const float yr = Y[2 * k], yi = Y[2 * k + 1];
    sxyRe[k] = (mr * yr + mi * yi) * mu + sxyRe[k] * lambda;
    sxyIm[k] = (yr * mi - mr * yi) * mu + sxyIm[k] * lambda;
    sxx[k] = sxx[k] * lambda + (mr * mr + mi * mi) * mu;
    syy[k] = syy[k] * lambda + pw[k] * mu;
    const float q = (sxyRe[k] * sxyRe[k] + sxyIm[k] * sxyIm[k]) / (sxx[k] * syy[k] + kCoherenceEps);
    // A quotient that is not a number counts as full coherence.
    g2[k] = q != q ? 1.0f : (q < 1.0f ? q : 1.0f);
  }
}

// The largest of g2[1 ... 512]. Four running maxima, merged at the end, give
// exactly the maximum (no rounding is involved) without one long chain.
float largestOf(const float* __restrict g2) {
  float m[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  for (int64_t k = 1; k <= kBins; k += 4) {
    for (int64_t j = 0; j < 4; ++j) m[j] = g2[k + j] > m[j] ? g2[k + j] : m[j];
  }
  return std::max(std::max(m[0], m[1]), std::max(m[2], m[3]));
}
static_assert(kBins % 4 == 0);

// x[k] = max(1 - overSub * g2[k], 0) for bins 1 ... 512; its square root is the
// raw gain of the bin.
void gainRadicands(const float* __restrict g2, float* __restrict x) {
  for (int64_t k = 1; k <= kBins; ++k) {
    const float v = 1.0f - EchoCanceller::overSub * g2[k];
    x[k] = v > 0.0f ? v : 0.0f;
  }
}

// Turns raw gains g into applied gains: below the floor the floor, from
// 0.9999 on 1 (bin left as it is), else g. Returns how many bins are scaled.
int64_t applicableGains(float* __restrict gain) {
  int64_t scaled = 0;
  for (int64_t k = 1; k <= kBins; ++k) {
    const float g = gain[k];
    scaled += g < kPassGain ? 1 : 0;
    gain[k] = g < EchoCanceller::floorEcho ? EchoCanceller::floorEcho : (g < kPassGain ? g : 1.0f);
  }
  return scaled;
}

// O[k] = M[k] * gain[k] for bins 0 ... 512 (interleaved). A gain of 1 leaves
// the bin exactly as it was.
void applyGains(const float* __restrict M, const float* __restrict gain, float* __restrict O) {
  for (int64_t k = 0; k < kBins; ++k) {
    O[2 * k] = M[2 * k] * gain[k];
    O[2 * k + 1] = M[2 * k + 1] * gain[k];
  }
  O[2 * kBins] = M[2 * kBins] * gain[kBins];
  O[2 * kBins + 1] = M[2 * kBins + 1] * gain[kBins];
}
#endif

#if defined(__SSE2__)
// The work of one active frame on bins 1 ... 512 in a single pass, four bins
// at a time in vector registers: the same operations in the same order, bin
// by bin, as the plain steps (update the averages, coherence g2, raw gain
// sqrt(max(1 - 1.5 * g2, 0)), applied gain, M scaled into O), without
// storing and reloading the intermediate arrays. The vector forms are exact
// stand-ins for the scalar selections: min(q, 1) gives 1 for a NaN q, as
// minps returns its second operand then; max(v, 0) is v > 0 ? v : 0; and
// sqrtps rounds as sqrtss. Returns the largest g2; `engaged` says whether a
// gain below 0.9999 was applied anywhere.
float coherenceGains(const float* __restrict M, const float* __restrict Y,
                     const float* __restrict pw, float* __restrict sxyRe, float* __restrict sxyIm,
                     float* __restrict sxx, float* __restrict syy, float* __restrict O,
                     bool& engaged) {
  const __m128 lambda = _mm_set1_ps(EchoCanceller::avgLambda);
  const __m128 mu = _mm_set1_ps(kMu);
  const __m128 eps = _mm_set1_ps(kCoherenceEps);
  const __m128 one = _mm_set1_ps(1.0f);
  const __m128 zero = _mm_setzero_ps();
  const __m128 overSub = _mm_set1_ps(EchoCanceller::overSub);
  const __m128 pass = _mm_set1_ps(kPassGain);
  const __m128 floorGain = _mm_set1_ps(EchoCanceller::floorEcho);
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
  return std::max(std::max(m[0], m[1]), std::max(m[2], m[3]));
}
#endif

}  // namespace

// Per-call scratch of the frame loop, allocated once per process call.
struct EchoCanceller::FrameScratch {
  AlignedVector<float> micFrame = AlignedVector<float>(kFrame);
  AlignedVector<float> refFrame = AlignedVector<float>(kFrame);
  AlignedVector<std::complex<float>> M = AlignedVector<std::complex<float>>(kHalfSpectrum);
  AlignedVector<std::complex<float>> Y = AlignedVector<std::complex<float>>(kHalfSpectrum);
  AlignedVector<std::complex<float>> O = AlignedVector<std::complex<float>>(kHalfSpectrum);
  AlignedVector<float> pw = AlignedVector<float>(kHalfSpectrum);
  AlignedVector<float> g2 = AlignedVector<float>(kHalfSpectrum);
  AlignedVector<float> gain = AlignedVector<float>(kHalfSpectrum);
  AlignedVector<float> synth = AlignedVector<float>(kFrame);
  AlignedVector<float> carry = AlignedVector<float>(kHop);
  AlignedVector<float> head = AlignedVector<float>(kHop);
};

std::unique_ptr<EchoCanceller> EchoCanceller::create() { return create(fftwDftFactory()); }

std::unique_ptr<EchoCanceller> EchoCanceller::create(DftFactory& factory) {
  // Each setup is made only after the previous one succeeded; on a failure
  // the ones already made are destroyed as these locals go out of scope.
  std::unique_ptr<Dft> fwd = factory.create(frame, DftDirection::kForward);
  if (!fwd) return nullptr;
  std::unique_ptr<Dft> inv = factory.create(frame, DftDirection::kInverse);
  if (!inv) return nullptr;
  std::unique_ptr<Dft> corrFwd = factory.create(corrN, DftDirection::kForward);
  if (!corrFwd) return nullptr;
  std::unique_ptr<Dft> corrInv = factory.create(corrN, DftDirection::kInverse);
  if (!corrInv) return nullptr;
  return std::unique_ptr<EchoCanceller>(
      new EchoCanceller(std::move(fwd), std::move(inv), std::move(corrFwd), std::move(corrInv)));
}

EchoCanceller::EchoCanceller(std::unique_ptr<Dft> fwd, std::unique_ptr<Dft> inv,
                             std::unique_ptr<Dft> corrFwd, std::unique_ptr<Dft> corrInv)
    : fwd_(std::move(fwd)),
      inv_(std::move(inv)),
      corrFwd_(std::move(corrFwd)),
      corrInv_(std::move(corrInv)),
      win_(makeSqrtHannWindow()) {}

EchoCanceller::~EchoCanceller() {
  fwd_.reset();
  inv_.reset();
  corrFwd_.reset();
  corrInv_.reset();
}

std::vector<float> EchoCanceller::process(std::span<const float> mic,
                                          std::span<const float> reference, double sampleRate) {
  const int64_t L = static_cast<int64_t>(mic.size());
  if (L < frame || static_cast<int64_t>(reference.size()) < frame || !(sampleRate > 0.0)) {
    return std::vector<float>(mic.begin(), mic.end());
  }

  std::vector<Seg> segs;
  {
    // The long-transform scratch lives for the delay searches only.
    auto scratch = std::make_unique<LagScratch>();
    segs = buildDelayTrack(L, sampleRate,
                           [&](int64_t at, int64_t window, int64_t center, int64_t radius) {
                             return bestLagWith(*scratch, mic, reference, at, window, center, radius);
                           });
  }

  sxyRe_.assign(frame, 0.0f);
  sxyIm_.assign(frame, 0.0f);
  sxxAvg_.assign(frame, 0.0f);
  syyAvg_.assign(frame, 0.0f);
  stats_ = AecStats{};
  // Filled a half frame at a time: each output sample is written once (the
  // last frame start lies within a half frame of the end, so the first
  // halves cover the track). A long track's output is fresh memory: it is
  // offered for huge pages and populated in one call before the loop, which
  // spares the loop tens of thousands of page faults.
  std::vector<float> out;
  out.reserve(static_cast<size_t>(L));
  adviseHugePages(out.data(), static_cast<size_t>(L) * sizeof(float));
  populateForWriting(out.data(), static_cast<size_t>(L) * sizeof(float));
  MeanSquareAccumulator outLevel;
  // The microphone's level is taken a hop at a time while its samples are
  // in cache for the frames (the same result as one pass over the track).
  MeanSquareAccumulator micLevel;

  FrameScratch s;
  DelayCursor delays(segs);
  // With fresh averages every coherence is 0; in frames without reference
  // the averages do not move, so the last frame's largest coherence stands.
  float lastCohMax = 0.0f;
  for (int64_t p = 0; p < L; p += hop) {
    const int64_t d = delays.delayAt(p);
    micLevel.add(mic.subspan(static_cast<size_t>(p), static_cast<size_t>(std::min(hop, L - p))));
    windowFrame(mic, p, win_, s.micFrame.data());
    windowFrame(reference, p - d, win_, s.refFrame.data());
    fwd_->forwardReal(s.micFrame.data(), s.M.data());
    fwd_->forwardReal(s.refFrame.data(), s.Y.data());
    binPowers(reinterpret_cast<const float*>(s.Y.data()), s.pw.data());
    const bool active = frameEnergyAbove(s.pw.data(), kActiveEnergy);

    stats_.frames += 1;
    if (active) stats_.farEnd += 1;
    bool engaged = false;
    if (active) lastCohMax = processFrame(s, engaged);
    else std::copy(s.M.begin(), s.M.end(), s.O.begin());
    if (engaged) stats_.active += 1;
    stats_.cohSum += lastCohMax;
    if (lastCohMax > stats_.cohMax) stats_.cohMax = lastCohMax;

    inv_->inverseHermitian(s.O.data(), s.synth.data());
    overlapAdd(s.synth.data(), win_.data(), s.carry.data(), s.head.data());
    const std::span<const float> done(s.head.data(), static_cast<size_t>(std::min(hop, L - p)));
    out.insert(out.end(), done.begin(), done.end());
    outLevel.add(done);
  }

  const float mIn = micLevel.mean();
  const float mOut = outLevel.mean();
  const bool applied = std::isfinite(mIn) && std::isfinite(mOut) && mOut <= mIn * 4.0f + kSanityMargin;
  emitDiagnostics(segs, sampleRate, applied, mIn, mOut);
  if (applied) return out;
  return std::vector<float>(mic.begin(), mic.end());
}

// One frame with an active reference: updates the averages, writes M with
// each bin's gain applied into O, and returns the frame's largest coherence
// (sqrt is monotonic, so that is the square root of the largest g2).
float EchoCanceller::processFrame(FrameScratch& s, bool& engaged) {
  const float* M = reinterpret_cast<const float*>(s.M.data());
  float* O = reinterpret_cast<float*>(s.O.data());
  // Bin 0 (the mean) is never scaled.
  O[0] = M[0] * 1.0f;
  O[1] = M[1] * 1.0f;
#if defined(__SSE2__)
  const float largest =
      coherenceGains(M, reinterpret_cast<const float*>(s.Y.data()), s.pw.data(), sxyRe_.data(),
                     sxyIm_.data(), sxxAvg_.data(), syyAvg_.data(), O, engaged);
  return std::sqrt(largest);
#else
  updateAverages(M, reinterpret_cast<const float*>(s.Y.data()), s.pw.data(), sxyRe_.data(),
                 sxyIm_.data(), sxxAvg_.data(), syyAvg_.data(), s.g2.data());
  gainRadicands(s.g2.data(), s.gain.data());
  sqrtInPlace(std::span<float>(s.gain).subspan(1, kBins));
  engaged = applicableGains(s.gain.data()) > 0;
  s.gain[0] = 1.0f;
  applyGains(M, s.gain.data(), O);
  return std::sqrt(largestOf(s.g2.data()));
#endif
}

void EchoCanceller::emitDiagnostics(const std::vector<Seg>& segs, double sampleRate, bool applied,
                                    float meanSquareOriginal, float meanSquareCleaned) const {
  const std::string line =
      formatAecDiagnostics(segs, sampleRate, applied, meanSquareOriginal, meanSquareCleaned, stats_);
  logErr(line);
  appendAecLog(line);
}
