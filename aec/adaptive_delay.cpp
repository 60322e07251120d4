// The adaptive canceller follows the default canceller's delay track: the
// same segments and search ranges (buildDelayTrack) and the same phase-
// transform weighted cross-correlation per segment. The search is done here
// on real-input transforms whose scratch is kept for all segments of a
// track, which spares a long recording tens of allocations of 48 MB.

#include "aec/adaptive_delay.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <memory>

#include "aec/dft.hpp"

namespace {

constexpr int64_t kCorrN = int64_t{1} << 20;  // transform length of a search
constexpr int64_t kMaxWindow = kCorrN / 2;    // samples correlated at most
// A stretch quieter than this mean square (-60 dBFS) gives no estimate.
constexpr float kQuietMeanSquare = 0.000001f;
// Keeps the phase weighting finite where the cross-spectrum is 0.
constexpr float kPhatEps = 0.000001f;
// The peak must reach this many times the correlation's RMS.
constexpr float kPeakOverRms = 3.0f;

class LagSearcher {
 public:
  LagSearcher(std::unique_ptr<Dft> fwd, std::unique_ptr<Dft> inv)
      : fwd_(std::move(fwd)),
        inv_(std::move(inv)),
        mic_(static_cast<size_t>(kCorrN)),
        ref_(static_cast<size_t>(kCorrN)),
        M_(static_cast<size_t>(kCorrN / 2 + 1)),
        Y_(static_cast<size_t>(kCorrN / 2 + 1)) {}

  std::optional<int64_t> search(std::span<const float> mic, std::span<const float> reference,
                                int64_t at, int64_t window, int64_t center, int64_t radius) {
    const int64_t n = std::min(window, kMaxWindow);
    std::fill(mic_.begin(), mic_.end(), 0.0f);
    std::fill(ref_.begin(), ref_.end(), 0.0f);
    float e = 0.0f;
    for (int64_t i = 0; i < n; ++i) {
      const int64_t j = at + i;
      if (j < 0) continue;
      if (j < static_cast<int64_t>(mic.size())) {
        mic_[static_cast<size_t>(i)] = mic[static_cast<size_t>(j)];
        e += mic_[static_cast<size_t>(i)] * mic_[static_cast<size_t>(i)];
      }
      if (j < static_cast<int64_t>(reference.size())) ref_[static_cast<size_t>(i)] = reference[static_cast<size_t>(j)];
    }
    if (n <= 0 || !(e >= static_cast<float>(n) * kQuietMeanSquare)) return std::nullopt;
    fwd_->forwardReal(mic_.data(), M_.data());
    fwd_->forwardReal(ref_.data(), Y_.data());
    for (size_t k = 0; k < M_.size(); ++k) {
      const std::complex<float> c = M_[k] * std::conj(Y_[k]);
      const float m = std::sqrt(c.real() * c.real() + c.imag() * c.imag()) + kPhatEps;
      M_[k] = {c.real() / m, c.imag() / m};
    }
    inv_->inverseHermitian(M_.data(), mic_.data());  // mic_ now holds the correlation
    float best = -std::numeric_limits<float>::max();
    int64_t lag = center;
    for (int64_t l = center - radius; l <= center + radius; ++l) {
      const float v = std::abs(mic_[static_cast<size_t>(l & (kCorrN - 1))]);
      if (v > best) {
        best = v;
        lag = l;
      }
    }
    float ms = 0.0f;
    for (float v : mic_) ms += v * v;
    const float rms = std::sqrt(ms / static_cast<float>(kCorrN));
    if (best < (rms + 1e-9f) * kPeakOverRms) return std::nullopt;
    return lag;
  }

 private:
  std::unique_ptr<Dft> fwd_;
  std::unique_ptr<Dft> inv_;
  std::vector<float> mic_;
  std::vector<float> ref_;
  std::vector<std::complex<float>> M_;
  std::vector<std::complex<float>> Y_;
};

}  // namespace

std::optional<std::vector<DelaySeg>> adaptiveDelayTrack(std::span<const float> mic,
                                                        std::span<const float> reference,
                                                        double sampleRate) {
  std::unique_ptr<Dft> fwd = fftwDftFactory().create(kCorrN, DftDirection::kForward);
  std::unique_ptr<Dft> inv = fftwDftFactory().create(kCorrN, DftDirection::kInverse);
  if (!fwd || !inv) return std::nullopt;
  LagSearcher searcher(std::move(fwd), std::move(inv));
  // The default canceller's segments and search ranges, one segment after
  // the other, each centred on the delay in force.
  const DelaySearchParams params = delaySearchParams(sampleRate);
  DelayTrack track(params);
  for (int64_t at : segmentStarts(static_cast<int64_t>(mic.size()), params)) {
    track.add(at, searcher.search(mic, reference, at, params.segment, track.nextCenter(),
                                  track.nextRadius()));
  }
  return track.segs();
}
