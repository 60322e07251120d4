#pragma once

#include <cstdint>
#include <vector>

// The adaptive filter's step per bin, from how much of the error is echo the
// filter has not yet modelled: step = residual echo / error, at most 0.5. The
// residual echo is the filter's echo estimate times a leak ratio, which is
// the regression of the error's power fluctuations on the echo estimate's:
// a near end talking raises the error but does not follow the echo, so the
// step falls while it talks and the filter holds what it learned.
class EchoReturnStep {
 public:
  // bins: spectrum length; fixedStep: the step while the filter is still
  // new (before warmBlocks adapted blocks).
  EchoReturnStep(int64_t bins, float fixedStep, int64_t warmBlocks);

  // mu[k] for one block from the power spectra of the error and of the echo
  // estimate (same transform), and the block's time-domain sums of e^2, y^2
  // and e*y.
  void steps(const float* errorPower, const float* echoPower, float see, float syy, float sey,
             float* mu);

 private:
  std::vector<float> errorAvg_;
  std::vector<float> echoAvg_;
  float fixedStep_;
  int64_t warmBlocks_;
  int64_t blocks_ = 0;
  float pey_ = 0.0f;
  float pyy_ = 0.0f;
  float leak_ = 1.0f;
};
