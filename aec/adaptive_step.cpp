#include "aec/adaptive_step.hpp"

#include <algorithm>
#include <cmath>

namespace {

// Weight of the newest block in the per-bin power averages (about 50 blocks).
constexpr float kSpectrumWeight = 0.02f;
// Weight of a block in the leak regression: proportional to how much echo
// estimate the block carries against its error, at most kLeakWeightMax.
constexpr float kLeakWeightPerEcho = 0.04f;
constexpr float kLeakWeightMax = 0.01f;
constexpr float kLeakMin = 0.005f;
// Largest step, and the share of the block-wide residual-to-error ratio in
// each bin's step.
constexpr float kStepMax = 0.5f;
constexpr float kBlockShare = 0.3f;
// Residual echo taken as this many times leak x echo estimate block-wide.
constexpr float kResidualMargin = 3.0f;
constexpr float kTiny = 1e-20f;

}  // namespace

EchoReturnStep::EchoReturnStep(int64_t bins, float fixedStep, int64_t warmBlocks)
    : errorAvg_(static_cast<size_t>(bins), 0.0f),
      echoAvg_(static_cast<size_t>(bins), 0.0f),
      fixedStep_(fixedStep),
      warmBlocks_(warmBlocks) {}

void EchoReturnStep::steps(const float* errorPower, const float* echoPower, float see, float syy,
                           float sey, float* mu) {
  const size_t bins = errorAvg_.size();
  // Regression of the error's power fluctuations on the echo estimate's.
  float pey = 0.0f;
  float pyy = 0.0f;
  for (size_t k = 0; k < bins; ++k) {
    const float eh = errorPower[k] - errorAvg_[k];
    const float yh = echoPower[k] - echoAvg_[k];
    pey += eh * yh;
    pyy += yh * yh;
    errorAvg_[k] = errorAvg_[k] * (1.0f - kSpectrumWeight) + errorPower[k] * kSpectrumWeight;
    echoAvg_[k] = echoAvg_[k] * (1.0f - kSpectrumWeight) + echoPower[k] * kSpectrumWeight;
  }
  pyy = std::sqrt(pyy);
  pey = pey / (pyy + kTiny);
  const float weight = std::min(kLeakWeightPerEcho * syy, kLeakWeightMax * see) / (see + kTiny);
  pey_ = pey_ * (1.0f - weight) + pey * weight;
  pyy_ = pyy_ * (1.0f - weight) + pyy * weight;
  if (pyy_ > kTiny) leak_ = std::clamp(pey_ / pyy_, kLeakMin, 1.0f);

  blocks_ += 1;
  if (blocks_ <= warmBlocks_) {
    std::fill(mu, mu + bins, fixedStep_);
    return;
  }
  // Residual-to-error ratio of the whole block; never below the share of the
  // error that the echo estimate explains.
  float rer = kResidualMargin * leak_ * syy / (see + kTiny);
  rer = std::max(rer, sey * sey / (see * syy + kTiny));
  rer = std::min(rer, kStepMax);
  for (size_t k = 0; k < bins; ++k) {
    const float e = errorPower[k] + kTiny;
    float r = std::min(leak_ * echoPower[k], kStepMax * e);
    r = r * (1.0f - kBlockShare) + rer * e * kBlockShare;
    mu[k] = r / e;
  }
}
