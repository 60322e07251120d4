#include "aec/echo_canceller.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <thread>

#include "aec/aec_constants.hpp"
#include "aec/aligned_buffer.hpp"
#include "aec/coherence_suppressor.hpp"
#include "aec/correlation_pipeline.hpp"
#include "aec/delay_track.hpp"
#include "aec/energy_gate.hpp"
#include "aec/framing.hpp"
#include "aec/vector_ops.hpp"

using namespace aec;

namespace {

int onlineProcessors() { return std::max(1, static_cast<int>(std::thread::hardware_concurrency())); }

// pw[k] = re^2 + im^2 of the bins 0 ... 512 of a half spectrum.
void binPowers(const std::complex<float>* half, float* __restrict pw) {
  const float* __restrict spectrum = reinterpret_cast<const float*>(half);
  for (int64_t k = 0; k < kBins; ++k) {
    const float re = spectrum[2 * k], im = spectrum[2 * k + 1];
    pw[k] = re * re + im * im;
  }
  const float re = spectrum[2 * kBins], im = spectrum[2 * kBins + 1];
  pw[kBins] = re * re + im * im;
}

// The arrays of the frame loop, allocated once per run (aligned, so the
// transforms work on them in place).
struct FrameScratch {
  AlignedVector<float> micFrame = AlignedVector<float>(kFrame);
  AlignedVector<float> refFrame = AlignedVector<float>(kFrame);
  AlignedVector<std::complex<float>> M = AlignedVector<std::complex<float>>(kHalfSpectrum);
  AlignedVector<std::complex<float>> Y = AlignedVector<std::complex<float>>(kHalfSpectrum);
  AlignedVector<std::complex<float>> O = AlignedVector<std::complex<float>>(kHalfSpectrum);
  AlignedVector<float> pw = AlignedVector<float>(kHalfSpectrum);
  AlignedVector<float> synth = AlignedVector<float>(kFrame);
  AlignedVector<float> head = AlignedVector<float>(kHop);
};

}  // namespace

std::unique_ptr<EchoCanceller> EchoCanceller::create() { return create(fftwDftFactory()); }

std::unique_ptr<EchoCanceller> EchoCanceller::create(DftFactory& factory) {
  // Each setup is made only after the previous one succeeded; on a failure
  // the ones already made are destroyed as these locals go out of scope.
  std::unique_ptr<Dft> fwd = factory.create(kFrame, DftDirection::kForward);
  if (!fwd) return nullptr;
  std::unique_ptr<Dft> inv = factory.create(kFrame, DftDirection::kInverse);
  if (!inv) return nullptr;
  std::unique_ptr<Dft> corrFwd = factory.create(kCorrN, DftDirection::kForward);
  if (!corrFwd) return nullptr;
  std::unique_ptr<Dft> corrInv = factory.create(kCorrN, DftDirection::kInverse);
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
      win_(makeSqrtHannWindow()),
      threads_(onlineProcessors()) {}

// The transforms go in the order they were made.
EchoCanceller::~EchoCanceller() {
  fwd_.reset();
  inv_.reset();
  corrFwd_.reset();
  corrInv_.reset();
}

void EchoCanceller::setThreads(int threads) { threads_ = std::max(1, threads); }

AecResult EchoCanceller::process(std::span<const float> mic, std::span<const float> reference,
                                 double sampleRate) {
  const SpanSource micSource(mic), refSource(reference);
  VectorSink out(mic.size());
  AecResult result;
  result.stats = process(micSource, refSource, sampleRate, out);
  if (result.stats && result.stats->applied) result.cleaned = out.take();
  else result.cleaned.assign(mic.begin(), mic.end());
  return result;
}

std::optional<AecStats> EchoCanceller::process(const SampleSource& mic,
                                               const SampleSource& reference, double sampleRate,
                                               SampleSink& out) {
  const int64_t L = mic.size();
  if (L < kFrame || reference.size() < kFrame || !(sampleRate > 0.0)) return std::nullopt;

  const DelaySearchParams params = delaySearchParams(sampleRate);
  std::vector<int64_t> starts = segmentStarts(L, params);
  const size_t segments = starts.size();
  CorrelationPipeline correlations(mic, reference, starts, params.segment, *corrFwd_, *corrInv_,
                                   threads_);
  DelayTrack track(params);
  size_t picked = 0;
  auto pickNext = [&] {
    const StretchCorrelation& c = correlations.take(picked);
    track.add(starts[picked], pickLag(c, track.nextCenter(), track.nextRadius()));
    ++picked;
  };

  AecStats stats;
  stats.sampleRate = sampleRate;
  CoherenceSuppressor suppressor;
  FrameScratch s;
  FrameReader micFrames(mic), refFrames(reference);
  OverlapAdd synthesis;
  // The microphone's level is taken a hop at a time while its samples are
  // in cache for the frames (the same result as one pass over the track).
  MeanSquareAccumulator micLevel, outLevel;
  // With fresh averages every coherence is 0; in frames without reference
  // the averages do not move, so the last frame's largest coherence stands.
  float lastCohMax = 0.0f;
  // Each frame's first half is finished by it (the last frame start lies
  // within a half frame of the end, so the first halves cover the track).
  for (int64_t p = 0; p < L; p += kHop) {
    // The delay in force: that of the last segment starting at or before p.
    while (picked < segments && starts[picked] <= p) pickNext();
    const int64_t d = track.segs().back().delay;
    const size_t done = static_cast<size_t>(std::min(kHop, L - p));
    const float* micSamples = micFrames.frameAt(p);
    micLevel.add(std::span<const float>(micSamples, done));
    windowFrame(micSamples, win_, s.micFrame.data());
    windowFrame(refFrames.frameAt(p - d), win_, s.refFrame.data());
    fwd_->forwardReal(s.micFrame.data(), s.M.data());
    fwd_->forwardReal(s.refFrame.data(), s.Y.data());
    binPowers(s.Y.data(), s.pw.data());
    const bool active = frameEnergyAbove(s.pw.data(), kActiveEnergy);

    stats.frames += 1;
    bool engaged = false;
    if (active) {
      stats.farEnd += 1;
      lastCohMax = suppressor.suppress(s.M.data(), s.Y.data(), s.pw.data(), s.O.data(), engaged);
    } else {
      std::copy(s.M.begin(), s.M.end(), s.O.begin());
    }
    if (engaged) stats.active += 1;
    stats.cohSum += lastCohMax;
    if (lastCohMax > stats.cohMax) stats.cohMax = lastCohMax;

    inv_->inverseHermitian(s.O.data(), s.synth.data());
    synthesis.add(s.synth.data(), win_, s.head.data());
    const std::span<const float> finished(s.head.data(), done);
    out.write(finished);
    outLevel.add(finished);
  }
  // Segments that start after the last frame still belong to the track.
  while (picked < segments) pickNext();

  stats.segs = track.segs();
  stats.meanSquareOriginal = micLevel.mean();
  stats.meanSquareCleaned = outLevel.mean();
  const float mIn = stats.meanSquareOriginal, mOut = stats.meanSquareCleaned;
  stats.applied = std::isfinite(mIn) && std::isfinite(mOut) && mOut <= mIn * kSanityFactor + kSanityMargin;
  return stats;
}

std::optional<int64_t> EchoCanceller::bestLag(std::span<const float> mic,
                                              std::span<const float> reference, int64_t at,
                                              int64_t window, int64_t center,
                                              int64_t radius) const {
  const SpanSource micSource(mic), refSource(reference);
  LagCorrelator correlator(*corrFwd_, *corrInv_);
  auto c = std::make_unique<StretchCorrelation>();
  correlator.correlate(micSource, refSource, at, window, *c);
  return pickLag(*c, center, radius);
}
