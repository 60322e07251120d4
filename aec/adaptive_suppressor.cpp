// The residual suppressor, in plain words:
//
// The filter's error E and its echo estimate Y are cut into 1024-sample
// frames every 512 samples (square-root Hann window, so that analysis and
// synthesis windows multiply to a Hann window that adds up to 1). Per bin,
// the leak ratio says how much error power comes with each unit of echo
// estimate power when only the far end talks: what the filter leaves of the
// echo, and the noise under it. It is learned in frames whose frame-wide
// error-to-echo ratio stays near its recent minimum (a near end joining in
// makes it jump). The residual echo is then leak x |Y|^2, and the bin keeps
// 1 - overSubtraction x residual / |E|^2 of its amplitude, never less than a
// floor. While the near end talks (the error clearly above the predicted
// residual and the noise floor) the over-subtraction is small, so that the
// gains do not move with the near end's syllables. Where the echo estimate is
// zero the residual is zero and the bin passes unchanged.
//
// When the echo path changes, the error is echo the filter has not learned
// yet, far above leak x |Y|^2, and would pass for a near end. But it is a
// linear function of the far end, as Y is: the magnitude-squared coherence
// of E with Y is the share of the error's power that is echo (a near end and
// noise are incoherent with Y). So the residual is also taken as coherence x
// |E|^2 (minus the estimate's bias), whichever is more, at most a few times
// |Y|^2.

#include "aec/adaptive_suppressor.hpp"

#include <algorithm>
#include <cmath>

namespace {

constexpr int64_t kFrame = ResidualSuppressor::kFrame;
constexpr int64_t kHop = ResidualSuppressor::kHop;
constexpr int64_t kBins = ResidualSuppressor::kBins;

// Weight of the newest frame in the smoothed powers.
constexpr float kPowerWeight = 0.3f;
// Frame-wide error-to-echo ratio: its minimum falls at once and rises by this
// factor a frame (about 4 dB/s at 48 kHz); frames within kNearFree of it
// count as echo only.
constexpr float kLeakRise = 1.01f;
// While no frame counts as echo only, the minimum rises faster, by this much
// more each frame: a near end pauses between words and lets it fall back,
// a changed echo path keeps the ratio up.
constexpr float kLeakRiseGain = 0.0005f;
constexpr float kNearFree = 4.0f;
// A frame whose echo estimate power is below this has no echo to learn from.
constexpr float kEchoPresent = 1e-6f;
// Weight of an echo-only frame in each bin's leak ratio, and the ratio before
// any (as if the filter cancelled nothing).
constexpr float kLeakWeight = 0.1f;
constexpr float kLeakStart = 1.0f;
// Bins on either side over which the leak ratio is taken.
constexpr int64_t kSpread = 4;
// Over-subtraction where only the far end talks, where the near end talks
// too, and the smallest gain. The leak ratio is an average, and the residual
// of a frame often peaks 10 dB above it (at onsets, where the filter's tail
// lags): where only the far end talks, the gain covers those peaks. While
// the near end talks, 0.15 of the predicted residual comes out: a loud,
// distorted far end stays audible under the near end's words otherwise,
// and taking all of it would take some of the near end with it.
constexpr float kOverSubtraction = 28.0f;
constexpr float kOverSubtractionNear = 0.15f;
// The near end talks when the error exceeds the predicted residual echo and
// noise by this factor; the noise floor rises by this factor a frame (about
// 1 dB/s at 48 kHz).
constexpr float kNearMargin = 2.0f;
constexpr float kNoiseRise = 1.0025f;
// Frames a near end counts as talking after it was last heard (about 430 ms).
constexpr int64_t kNearHangover = 40;
constexpr float kFloor = 0.01f;
// Weight of the newest frame in the coherence averages (about 19 frames,
// 200 ms), and the coherence such an average shows between independent
// signals, taken off before use.
constexpr float kCoherenceWeight = 0.1f;
constexpr float kCoherenceBias = kCoherenceWeight / (2.0f - kCoherenceWeight);
// The coherent residual is at most this many times the echo estimate's power
// (a changed path leaves an error about as loud as the echo).
constexpr float kCoherentCap = 4.0f;
// A frame with more than this share of its error coherent with the echo
// estimate is echo only (double talk stays below 0.2 but for a rare frame).
constexpr float kCoherentFrame = 0.3f;
constexpr float kTiny = 1e-20f;
constexpr float kInverseScale = 1.0f / static_cast<float>(kFrame);

}  // namespace

std::unique_ptr<ResidualSuppressor> ResidualSuppressor::create(DftFactory& factory) {
  std::unique_ptr<Dft> fwd = factory.create(kFrame, DftDirection::kForward);
  if (!fwd) return nullptr;
  std::unique_ptr<Dft> inv = factory.create(kFrame, DftDirection::kInverse);
  if (!inv) return nullptr;
  return std::unique_ptr<ResidualSuppressor>(new ResidualSuppressor(std::move(fwd), std::move(inv)));
}

ResidualSuppressor::ResidualSuppressor(std::shared_ptr<Dft> fwd, std::shared_ptr<Dft> inv)
    : fwd_(std::move(fwd)),
      inv_(std::move(inv)),
      win_(static_cast<size_t>(kFrame)),
      frame_(static_cast<size_t>(kFrame)),
      E_(static_cast<size_t>(kBins)),
      Y_(static_cast<size_t>(kBins)),
      errorPower_(static_cast<size_t>(kBins), 0.0f),
      echoPower_(static_cast<size_t>(kBins), 0.0f),
      leak_(static_cast<size_t>(kBins), kLeakStart),
      cohError_(static_cast<size_t>(kBins), 0.0f),
      cohEcho_(static_cast<size_t>(kBins), 0.0f),
      cohCross_(static_cast<size_t>(kBins)),
      residual_(static_cast<size_t>(kBins), 0.0f),
      gain_(static_cast<size_t>(kBins), 1.0f),
      pendingError_(static_cast<size_t>(kHop), 0.0f),
      pendingEcho_(static_cast<size_t>(kHop), 0.0f),
      carry_(static_cast<size_t>(kHop), 0.0f) {
  for (int64_t i = 0; i < kFrame; ++i) {
    const double theta = 6.283185307179586 * static_cast<double>(i) / static_cast<double>(kFrame);
    win_[static_cast<size_t>(i)] = static_cast<float>(std::sqrt(0.5 - 0.5 * std::cos(theta)));
  }
}

void ResidualSuppressor::windowed(const std::vector<float>& x, float* frame) const {
  for (int64_t i = 0; i < kFrame; ++i) frame[i] = x[static_cast<size_t>(i)] * win_[static_cast<size_t>(i)];
}

// Updates the per-bin state from E_ and Y_ and fills gain_; true when some
// bin is attenuated.
bool ResidualSuppressor::gains() {
  float frameE = 0.0f;
  float frameY = 0.0f;
  for (int64_t k = 0; k < kBins; ++k) {
    const size_t b = static_cast<size_t>(k);
    errorPower_[b] = errorPower_[b] * (1.0f - kPowerWeight) + std::norm(E_[b]) * kPowerWeight;
    echoPower_[b] = echoPower_[b] * (1.0f - kPowerWeight) + std::norm(Y_[b]) * kPowerWeight;
    cohError_[b] = cohError_[b] * (1.0f - kCoherenceWeight) + std::norm(E_[b]) * kCoherenceWeight;
    cohEcho_[b] = cohEcho_[b] * (1.0f - kCoherenceWeight) + std::norm(Y_[b]) * kCoherenceWeight;
    cohCross_[b] = cohCross_[b] * (1.0f - kCoherenceWeight) + E_[b] * std::conj(Y_[b]) * kCoherenceWeight;
    frameE += errorPower_[b];
    frameY += echoPower_[b];
  }
  // Each bin's residual echo: the leak ratio's, or the coherent share's.
  float coherentE = 0.0f;
  float totalE = 0.0f;
  for (int64_t k = 0; k < kBins; ++k) {
    const size_t b = static_cast<size_t>(k);
    const float coh = std::norm(cohCross_[b]) / (cohError_[b] * cohEcho_[b] + kTiny);
    const float share = std::max(0.0f, (coh - kCoherenceBias) / (1.0f - kCoherenceBias));
    residual_[b] = std::max(leak_[b] * echoPower_[b],
                            std::min(share * errorPower_[b], kCoherentCap * echoPower_[b]));
    coherentE += share * errorPower_[b];
    totalE += errorPower_[b];
  }
  // Is the near end quiet? Across the whole frame the error-to-echo ratio
  // stays near its recent minimum while only the far end talks, and jumps
  // when the near end joins in.
  bool echoOnly = false;
  if (frameY > kEchoPresent) {
    const float ratio = frameE / frameY;
    const float rise = kLeakRise + kLeakRiseGain * static_cast<float>(framesAbove_);
    frameLeak_ = std::min(ratio, frameLeak_ * rise);
    echoOnly = ratio < frameLeak_ * kNearFree;
    framesAbove_ = echoOnly ? 0 : framesAbove_ + 1;
  }
  // Does the near end talk? Then the error holds clearly more than the
  // residual echo the leak ratios predict plus the noise floor (the recent
  // minimum of the frame's error power), and the bins are spared: a gain
  // that moves with the near end's syllables would take part of its voice.
  float predicted = noiseFloor_;
  for (int64_t k = 0; k < kBins; ++k) predicted += residual_[static_cast<size_t>(k)];
  // A near end keeps its state through the short gaps between its words.
  // A frame that does not clearly exceed the prediction and whose error is
  // largely coherent with the echo estimate is echo the filter has not
  // caught up with (a changed path): it ends the near end's hold. A frame
  // that does exceed it is a near end even so: a drifting path leaves echo
  // coherent with the estimate under the near end's words too.
  if (frameE > predicted * kNearMargin) nearHold_ = kNearHangover;
  else if (coherentE > kCoherentFrame * totalE) nearHold_ = 0;
  else if (nearHold_ > 0) nearHold_ -= 1;
  const bool nearTalks = nearHold_ > 0;
  noiseFloor_ = std::min(frameE, noiseFloor_ * kNoiseRise);
  const float overSubtraction = nearTalks ? kOverSubtractionNear : kOverSubtraction;
  // Each bin learns its leak ratio in echo-only frames, taken over a few
  // neighbouring bins, since one bin's ratio scatters widely.
  float sumE = 0.0f;
  float sumY = 0.0f;
  for (int64_t k = 0; k < kSpread && k < kBins; ++k) {
    sumE += errorPower_[static_cast<size_t>(k)];
    sumY += echoPower_[static_cast<size_t>(k)];
  }
  bool engaged = false;
  for (int64_t k = 0; k < kBins; ++k) {
    const size_t b = static_cast<size_t>(k);
    const int64_t in = k + kSpread;
    const int64_t out = k - kSpread - 1;
    if (in < kBins) {
      sumE += errorPower_[static_cast<size_t>(in)];
      sumY += echoPower_[static_cast<size_t>(in)];
    }
    if (out >= 0) {
      sumE -= errorPower_[static_cast<size_t>(out)];
      sumY -= echoPower_[static_cast<size_t>(out)];
    }
    if (echoOnly && sumY > kTiny) {
      const float ratio = std::max(sumE, 0.0f) / sumY;
      leak_[b] = leak_[b] * (1.0f - kLeakWeight) + ratio * kLeakWeight;
    }
    const float g = 1.0f - overSubtraction * residual_[b] / (errorPower_[b] + kTiny);
    gain_[b] = std::max(kFloor, std::min(1.0f, g));
    if (gain_[b] < 1.0f) engaged = true;
  }
  return engaged;
}

void ResidualSuppressor::push(std::span<const float> error, std::span<const float> echo,
                              std::vector<float>& out) {
  pendingError_.insert(pendingError_.end(), error.begin(), error.end());
  pendingEcho_.insert(pendingEcho_.end(), echo.begin(), echo.end());
  pushed_ += static_cast<int64_t>(error.size());
  processFrames(out);
}

void ResidualSuppressor::finish(std::vector<float>& out) {
  // Zeros after the end let the last frames complete the last samples.
  while (frameStart_ < pushed_) {
    pendingError_.resize(pendingError_.size() + static_cast<size_t>(kHop), 0.0f);
    pendingEcho_.resize(pendingEcho_.size() + static_cast<size_t>(kHop), 0.0f);
    processFrames(out);
  }
}

// Every frame that has all its samples: analysis, gains, synthesis. Its
// first half, added to the previous frame's second half, completes the hop
// of samples at frameStart_.
void ResidualSuppressor::processFrames(std::vector<float>& out) {
  while (static_cast<int64_t>(pendingError_.size()) >= kFrame) {
    windowed(pendingError_, frame_.data());
    fwd_->forwardReal(frame_.data(), E_.data());
    windowed(pendingEcho_, frame_.data());
    fwd_->forwardReal(frame_.data(), Y_.data());
    stats_.frames += 1;
    if (gains()) stats_.engaged += 1;
    for (int64_t k = 0; k < kBins; ++k) E_[static_cast<size_t>(k)] *= gain_[static_cast<size_t>(k)];
    inv_->inverseHermitian(E_.data(), frame_.data());
    for (int64_t i = 0; i < kFrame; ++i) {
      frame_[static_cast<size_t>(i)] *= win_[static_cast<size_t>(i)] * kInverseScale;
    }
    for (int64_t i = 0; i < kHop; ++i) {
      const int64_t t = frameStart_ + i;
      const float v = carry_[static_cast<size_t>(i)] + frame_[static_cast<size_t>(i)];
      if (t >= 0 && t < pushed_) out.push_back(v);
      carry_[static_cast<size_t>(i)] = frame_[static_cast<size_t>(kHop + i)];
    }
    pendingError_.erase(pendingError_.begin(), pendingError_.begin() + kHop);
    pendingEcho_.erase(pendingEcho_.begin(), pendingEcho_.begin() + kHop);
    frameStart_ += kHop;
  }
}
