// The partitioned-block frequency-domain adaptive filter, in plain words:
//
// The echo path is a filter of kPartitions * kBlock taps, held as one
// spectrum per partition of kBlock taps (zero-padded to kFft). Each block of
// kBlock microphone samples is predicted by summing, bin by bin, every
// partition's weights times the spectrum of the reference block that many
// blocks back (overlap-save: the transform covers the previous and the
// current reference block and the second half of its inverse is the linear
// convolution). The error's spectrum (first half zero) drives a normalised
// update of every partition: step / (reference power in the bin summed
// over the blocks the filter spans). Only one partition a block is brought back to kBlock taps (its
// second half zeroed in the time domain); the others catch up in turn, which
// costs two transforms a block instead of two per partition.
//
// Double talk: the near end is noise to the update and would drag a single
// filter away from the echo path. So two filters run: the background adapts
// always; the foreground, whose output is used, copies the background only
// when the background's error has been clearly lower, and the background is
// put back to the foreground when its error grows clearly higher.

#include "aec/adaptive_filter.hpp"

#include <algorithm>
#include <cmath>
#include <complex>

namespace {

constexpr size_t kStrideZ = static_cast<size_t>(PartitionedEchoFilter::kStride);
constexpr int64_t kN = PartitionedEchoFilter::kBlock;
constexpr int64_t kP = PartitionedEchoFilter::kPartitions;

// Normalised step of the background filter while it is new, and how many
// adapted blocks it stays new (about a second at 48 kHz).
constexpr float kStep = 0.5f;
constexpr int64_t kWarmBlocks = 3 * PartitionedEchoFilter::kPartitions;
// Weight of the newest block in the compared error levels.
constexpr float kLevelWeight = 0.4f;
// The background takes over when its error level is below this fraction of
// the foreground's, and is put back when above this multiple.
constexpr float kCopyRatio = 0.9f;
constexpr float kResetRatio = 2.0f;
// A reference block below this mean square (-80 dBFS) teaches nothing.
constexpr float kQuietReference = 1e-8f;
// Keeps the normalisation finite in bins the reference does not reach: a
// fraction of the average power over all bins, plus an absolute floor.
constexpr float kRegularisation = 0.01f;
constexpr float kPowerFloor = 1e-6f;
// Undoes the unscaled forward/inverse pair.
constexpr float kInverseScale = 1.0f / static_cast<float>(PartitionedEchoFilter::kFft);

// The inner loops over one partition's bins, written with non-aliasing
// pointers and a fixed count so that the compiler turns them into vector
// code.
// acc += W * X
void multiplyAccumulate(const float* __restrict wr, const float* __restrict wi,
                        const float* __restrict xr, const float* __restrict xi,
                        float* __restrict accRe, float* __restrict accIm) {
  for (int64_t k = 0; k < PartitionedEchoFilter::kStride; ++k) {
    accRe[k] += wr[k] * xr[k] - wi[k] * xi[k];
    accIm[k] += wr[k] * xi[k] + wi[k] * xr[k];
  }
}

// W += conj(X) * G
void conjugateMultiplyAdd(float* __restrict wr, float* __restrict wi, const float* __restrict xr,
                          const float* __restrict xi, const float* __restrict gr,
                          const float* __restrict gi) {
  for (int64_t k = 0; k < PartitionedEchoFilter::kStride; ++k) {
    wr[k] += xr[k] * gr[k] + xi[k] * gi[k];
    wi[k] += xr[k] * gi[k] - xi[k] * gr[k];
  }
}

// acc += |X|^2
void addPower(const float* __restrict xr, const float* __restrict xi, float* __restrict acc) {
  for (int64_t k = 0; k < PartitionedEchoFilter::kStride; ++k) acc[k] += xr[k] * xr[k] + xi[k] * xi[k];
}

float sumOfSquares(const float* x, int64_t n) {
  float s = 0.0f;
  for (int64_t i = 0; i < n; ++i) s += x[i] * x[i];
  return s;
}

}  // namespace

std::unique_ptr<PartitionedEchoFilter> PartitionedEchoFilter::create(DftFactory& factory) {
  std::unique_ptr<Dft> fwd = factory.create(kFft, DftDirection::kForward);
  if (!fwd) return nullptr;
  std::unique_ptr<Dft> inv = factory.create(kFft, DftDirection::kInverse);
  if (!inv) return nullptr;
  return std::unique_ptr<PartitionedEchoFilter>(new PartitionedEchoFilter(std::move(fwd), std::move(inv)));
}

PartitionedEchoFilter::PartitionedEchoFilter(std::shared_ptr<Dft> fwd, std::shared_ptr<Dft> inv)
    : fwd_(std::move(fwd)),
      inv_(std::move(inv)),
      refPower_(kStrideZ, 0.0f),
      window_(static_cast<size_t>(kFft), 0.0f),
      time_(static_cast<size_t>(kFft)),
      bins_(static_cast<size_t>(kBins)),
      re_(kStrideZ, 0.0f),
      im_(kStrideZ, 0.0f),
      errorPower_(kStrideZ, 0.0f),
      echoPower_(kStrideZ, 0.0f),
      mu_(kStrideZ, 0.0f),
      step_(kStride, kStep, kWarmBlocks) {}

void PartitionedEchoFilter::forward(const float* in, float* re, float* im) {
  fwd_->forwardReal(in, bins_.data());
  for (int64_t k = 0; k < kBins; ++k) {
    re[k] = bins_[static_cast<size_t>(k)].real();
    im[k] = bins_[static_cast<size_t>(k)].imag();
  }
}

void PartitionedEchoFilter::inverse(const float* re, const float* im, float* out) {
  for (int64_t k = 0; k < kBins; ++k) bins_[static_cast<size_t>(k)] = {re[k], im[k]};
  inv_->inverseHermitian(bins_.data(), out);
}

// The spectrum of the reference around the block at blockStart (the block
// before it and the block itself), read on the microphone's clock, into
// history slot. A block that follows the last one loaded keeps its first half.
void PartitionedEchoFilter::loadReference(CachedSource& reference, int64_t blockStart,
                                          int64_t slot, bool continued) {
  const std::span<float> window(window_);
  if (continued) {
    std::copy(window_.begin() + kN, window_.end(), window_.begin());
    clock_.read(reference, blockStart, kLead, window.subspan(static_cast<size_t>(kN)));
  } else {
    clock_.read(reference, blockStart - kN, kLead, window);
  }
  const size_t row = static_cast<size_t>(slot) * kStrideZ;
  forward(window_.data(), history_.re.data() + row, history_.im.data() + row);
}

void PartitionedEchoFilter::rebuildHistory(CachedSource& reference, int64_t blockStart) {
  // Slot head_ holds the current block, head_+p (mod P) the block p back;
  // the current block is read last, so that window_ holds it.
  for (int64_t p = kP - 1; p >= 0; --p) {
    loadReference(reference, blockStart - p * kN, (head_ + p) % kP, false);
  }
}

// The delay in force moved by `shift` samples. If the echo path moved before
// the delay track did, the filter has followed it already and its weights
// must move `shift` taps earlier (tap n becomes tap n - shift); if the path
// moves just now, the weights are right as they stand. The foreground takes
// the first view and the background keeps the second, and the two-filter
// comparison settles which one holds.
void PartitionedEchoFilter::realign(int64_t shift) {
  const int64_t taps = kP * kN;
  std::vector<float> h(static_cast<size_t>(taps));
  Spectra& w = foreground_;
  for (int64_t p = 0; p < kP; ++p) {
    const size_t row = static_cast<size_t>(p) * kStrideZ;
    inverse(w.re.data() + row, w.im.data() + row, time_.data());
    for (int64_t n = 0; n < kN; ++n) h[static_cast<size_t>(p * kN + n)] = time_[static_cast<size_t>(n)] * kInverseScale;
  }
  for (int64_t p = 0; p < kP; ++p) {
    std::fill(time_.begin(), time_.end(), 0.0f);
    for (int64_t n = 0; n < kN; ++n) {
      const int64_t from = p * kN + n + shift;
      if (from >= 0 && from < taps) time_[static_cast<size_t>(n)] = h[static_cast<size_t>(from)];
    }
    const size_t row = static_cast<size_t>(p) * kStrideZ;
    forward(time_.data(), w.re.data() + row, w.im.data() + row);
  }
}

// out[0, kN): the linear convolution of the weights with the reference.
void PartitionedEchoFilter::filterInto(const Spectra& w, float* out) {
  std::fill(re_.begin(), re_.end(), 0.0f);
  std::fill(im_.begin(), im_.end(), 0.0f);
  for (int64_t p = 0; p < kP; ++p) {
    const size_t wr = static_cast<size_t>(p) * kStrideZ;
    const size_t xr = static_cast<size_t>((head_ + p) % kP) * kStrideZ;
    multiplyAccumulate(w.re.data() + wr, w.im.data() + wr, history_.re.data() + xr,
                       history_.im.data() + xr, re_.data(), im_.data());
  }
  inverse(re_.data(), im_.data(), time_.data());
  for (int64_t n = 0; n < kN; ++n) out[n] = time_[static_cast<size_t>(kN + n)] * kInverseScale;
}

// One normalised gradient step of the background from the block's error.
void PartitionedEchoFilter::adapt(const float* error, const float* estimate,
                                  AdaptiveFilterStats& stats) {
  // Error and echo estimate spectra, both as the second half of a zero-padded
  // transform; their powers set the step.
  std::fill(time_.begin(), time_.begin() + kN, 0.0f);
  std::copy(estimate, estimate + kN, time_.begin() + kN);
  forward(time_.data(), re_.data(), im_.data());
  for (int64_t k = 0; k < kStride; ++k) {
    echoPower_[static_cast<size_t>(k)] = re_[static_cast<size_t>(k)] * re_[static_cast<size_t>(k)] +
                                         im_[static_cast<size_t>(k)] * im_[static_cast<size_t>(k)];
  }
  std::copy(error, error + kN, time_.begin() + kN);
  forward(time_.data(), re_.data(), im_.data());
  for (int64_t k = 0; k < kStride; ++k) {
    errorPower_[static_cast<size_t>(k)] = re_[static_cast<size_t>(k)] * re_[static_cast<size_t>(k)] +
                                          im_[static_cast<size_t>(k)] * im_[static_cast<size_t>(k)];
  }
  float see = 0.0f, syy = 0.0f, sey = 0.0f;
  for (int64_t i = 0; i < kN; ++i) {
    see += error[i] * error[i];
    syy += estimate[i] * estimate[i];
    sey += error[i] * estimate[i];
  }
  step_.steps(errorPower_.data(), echoPower_.data(), see, syy, sey, mu_.data());
  // The reference power per bin summed over the blocks the filter spans:
  // the normalisation of the whole filter's step (a per-block power would
  // blow the step up when a loud block is followed by a quiet one).
  std::fill(refPower_.begin(), refPower_.end(), 0.0f);
  for (int64_t p = 0; p < kP; ++p) {
    const size_t xr = static_cast<size_t>(p) * kStrideZ;
    addPower(history_.re.data() + xr, history_.im.data() + xr, refPower_.data());
  }
  float mean = 0.0f;
  for (int64_t k = 0; k < kBins; ++k) mean += refPower_[static_cast<size_t>(k)];
  mean = mean / static_cast<float>(kBins);
  const float reg = mean * kRegularisation + kPowerFloor;
  // The error spectrum scaled per bin by the normalised step.
  for (int64_t k = 0; k < kStride; ++k) {
    const float g = mu_[static_cast<size_t>(k)] / (refPower_[static_cast<size_t>(k)] + reg);
    re_[static_cast<size_t>(k)] *= g;
    im_[static_cast<size_t>(k)] *= g;
  }
  for (int64_t p = 0; p < kP; ++p) {
    const size_t wr = static_cast<size_t>(p) * kStrideZ;
    const size_t xr = static_cast<size_t>((head_ + p) % kP) * kStrideZ;
    conjugateMultiplyAdd(background_.re.data() + wr, background_.im.data() + wr,
                         history_.re.data() + xr, history_.im.data() + xr, re_.data(), im_.data());
  }
  constrain(background_, constrainNext_);
  constrainNext_ = (constrainNext_ + 1) % kP;
  stats.adapted += 1;
}

// Brings one partition back to kBlock taps: the unconstrained update leaks
// into the second half, which would wrap around in the convolution.
void PartitionedEchoFilter::constrain(Spectra& w, int64_t partition) {
  const size_t row = static_cast<size_t>(partition) * kStrideZ;
  inverse(w.re.data() + row, w.im.data() + row, time_.data());
  for (int64_t n = 0; n < kN; ++n) time_[static_cast<size_t>(n)] *= kInverseScale;
  std::fill(time_.begin() + kN, time_.end(), 0.0f);
  forward(time_.data(), w.re.data() + row, w.im.data() + row);
}

namespace {

// Walks a delay track for block starts that never decrease: each record
// once, when the block it starts in is reached.
class DelayCursor {
 public:
  explicit DelayCursor(const std::vector<DelaySeg>& track) : track_(track) {}
  const DelaySeg* next(int64_t blockStart) {
    return next_ < track_.size() && track_[next_].start <= blockStart ? &track_[next_++] : nullptr;
  }

 private:
  const std::vector<DelaySeg>& track_;
  size_t next_ = 0;
};

}  // namespace

AdaptiveFilterStats PartitionedEchoFilter::run(std::span<const float> mic,
                                               std::span<const float> reference,
                                               const std::vector<DelaySeg>& track, int64_t length,
                                               const BlockSink& sink) {
  const SpanSource micSource(mic), refSource(reference);
  CachedSource micWindow(micSource), refWindow(refSource);
  return run(micWindow, refWindow, track, 0, length, sink);
}

AdaptiveFilterStats PartitionedEchoFilter::run(CachedSource& mic, CachedSource& reference,
                                               const std::vector<DelaySeg>& track, int64_t from,
                                               int64_t to, const BlockSink& sink) {
  AdaptiveFilterStats stats;
  DelayCursor delays(track);
  std::vector<float> yb(static_cast<size_t>(kN));
  std::vector<float> yf(static_cast<size_t>(kN));
  std::vector<float> eb(static_cast<size_t>(kN));
  std::vector<float> ef(static_cast<size_t>(kN));
  std::vector<float> d(static_cast<size_t>(kN));
  bool fresh = true;
  for (int64_t t0 = from; t0 < to; t0 += kN) {
    // The weights are aligned to the delay line; where it jumps (a step of
    // the track, or a pass that does not continue the last one's line) they
    // move with it. A pass that starts inside the track takes every record
    // before its start, so its line is the one a pass from the start would
    // have there.
    const double before = clock_.delayAt(t0);
    if (t0 == from) clock_.start(0, track.empty() ? 0 : track.front().delay);
    for (const DelaySeg* seg = delays.next(t0); seg; seg = delays.next(t0)) {
      if (seg->start > 0) clock_.follow(*seg);
    }
    const int64_t shift = std::llround(clock_.delayAt(t0) - before);
    if (shift != 0) {
      realign(shift);
      stats.shifts += 1;
      fresh = true;
    }
    if (fresh) {
      rebuildHistory(reference, t0);
      fresh = false;
    } else {
      head_ = (head_ + kP - 1) % kP;
      loadReference(reference, t0, head_, true);
    }
    const int64_t n = std::min(kN, to - t0);
    const float* m = mic.view(t0, n);
    for (int64_t i = 0; i < kN; ++i) d[static_cast<size_t>(i)] = i < n ? m[i] : 0.0f;
    filterInto(background_, yb.data());
    filterInto(foreground_, yf.data());
    for (int64_t i = 0; i < kN; ++i) {
      eb[static_cast<size_t>(i)] = d[static_cast<size_t>(i)] - yb[static_cast<size_t>(i)];
      ef[static_cast<size_t>(i)] = d[static_cast<size_t>(i)] - yf[static_cast<size_t>(i)];
    }
    // Past the end of the track there is nothing to learn from.
    std::fill(eb.begin() + n, eb.end(), 0.0f);
    const float eb2 = sumOfSquares(eb.data(), n);
    const float ef2 = sumOfSquares(ef.data(), n);
    backgroundLevel_ = backgroundLevel_ * (1.0f - kLevelWeight) + eb2 * kLevelWeight;
    foregroundLevel_ = foregroundLevel_ * (1.0f - kLevelWeight) + ef2 * kLevelWeight;

    bool useBackground = false;
    if (backgroundLevel_ < foregroundLevel_ * kCopyRatio && eb2 < ef2) {
      foreground_.re = background_.re;
      foreground_.im = background_.im;
      foregroundLevel_ = backgroundLevel_;
      useBackground = true;
      stats.copies += 1;
    } else if (backgroundLevel_ > foregroundLevel_ * kResetRatio) {
      background_.re = foreground_.re;
      background_.im = foreground_.im;
      backgroundLevel_ = foregroundLevel_;
      stats.resets += 1;
    }
    const std::vector<float>& e = useBackground ? eb : ef;
    const std::vector<float>& y = useBackground ? yb : yf;
    if (sink) {
      sink(std::span<const float>(e.data(), static_cast<size_t>(n)),
           std::span<const float>(y.data(), static_cast<size_t>(n)));
    }

    stats.blocks += 1;
    const float x2 = sumOfSquares(window_.data() + kN, kN);
    if (x2 > kQuietReference * static_cast<float>(kN)) adapt(eb.data(), yb.data(), stats);
  }
  return stats;
}

std::vector<float> PartitionedEchoFilter::impulseResponse() {
  std::vector<float> h(static_cast<size_t>(kP * kN));
  for (int64_t p = 0; p < kP; ++p) {
    const size_t row = static_cast<size_t>(p) * kStrideZ;
    inverse(foreground_.re.data() + row, foreground_.im.data() + row, time_.data());
    for (int64_t n = 0; n < kN; ++n) h[static_cast<size_t>(p * kN + n)] = time_[static_cast<size_t>(n)] * kInverseScale;
  }
  return h;
}
