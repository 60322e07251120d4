#include "aec/reference_clock.hpp"

#include <algorithm>
#include <cmath>

namespace {

constexpr int64_t kHalf = ReferenceClock::kTaps / 2;
// Slopes below this (3 ppm) are the track's whole-sample jitter, not a clock.
constexpr double kDeadZone = 3e-6;
constexpr double kPi = 3.141592653589793;

}  // namespace

ReferenceClock::ReferenceClock() {
  // A Blackman-windowed sinc, normalised to unit sum per phase so that a
  // constant passes unchanged at every fraction.
  for (int64_t p = 0; p <= kPhases; ++p) {
    const double f = static_cast<double>(p) / static_cast<double>(kPhases);
    double sum = 0.0;
    double w[kTaps];
    for (int64_t j = 0; j < kTaps; ++j) {
      const double u = static_cast<double>(j - kHalf + 1) - f;  // distance from the position
      const double sinc = u == 0.0 ? 1.0 : std::sin(kPi * u) / (kPi * u);
      const double x = (u + static_cast<double>(kHalf)) / static_cast<double>(kTaps);
      const double win = 0.42 - 0.5 * std::cos(2.0 * kPi * x) + 0.08 * std::cos(4.0 * kPi * x);
      w[j] = sinc * win;
      sum += w[j];
    }
    for (int64_t j = 0; j < kTaps; ++j) kernel_[static_cast<size_t>(p * kTaps + j)] = static_cast<float>(w[j] / sum);
  }
}

void ReferenceClock::start(int64_t at, int64_t delay) {
  // A second pass over the same take continues the first one's line, to
  // which the weights it learned are aligned: the track's first record was
  // taken before the clock's slope was known.
  const double carried = delayAt(at);
  const bool continues =
      running_ && std::fabs(carried - static_cast<double>(delay)) <= static_cast<double>(kStepSamples);
  delay_ = continues ? carried : static_cast<double>(delay);
  anchor_ = at;
  running_ = true;
  if (continues) return;  // the records fitted so far stand, and are not taken twice
  fit_[0] = DelaySeg{at, delay};
  fitCount_ = 1;
}

double ReferenceClock::delayAt(int64_t t) const { return delay_ + rate_ * static_cast<double>(t - anchor_); }

void ReferenceClock::follow(const DelaySeg& seg) {
  const double now = delayAt(seg.start);
  if (std::fabs(static_cast<double>(seg.delay) - now) > static_cast<double>(kStepSamples)) {
    running_ = false;
    start(seg.start, seg.delay);
    return;
  }
  if (seg.start <= fit_[static_cast<size_t>(fitCount_ - 1)].start) return;
  if (fitCount_ == kFitRecords) {
    for (int64_t i = 1; i < kFitRecords; ++i) fit_[static_cast<size_t>(i - 1)] = fit_[static_cast<size_t>(i)];
    fitCount_ -= 1;
  }
  fit_[static_cast<size_t>(fitCount_)] = seg;
  fitCount_ += 1;
  // Least-squares slope of delay against start over the records kept.
  double ms = 0.0, md = 0.0;
  for (int64_t i = 0; i < fitCount_; ++i) {
    ms += static_cast<double>(fit_[static_cast<size_t>(i)].start);
    md += static_cast<double>(fit_[static_cast<size_t>(i)].delay);
  }
  ms /= static_cast<double>(fitCount_);
  md /= static_cast<double>(fitCount_);
  double sxy = 0.0, sxx = 0.0;
  for (int64_t i = 0; i < fitCount_; ++i) {
    const double x = static_cast<double>(fit_[static_cast<size_t>(i)].start) - ms;
    sxy += x * (static_cast<double>(fit_[static_cast<size_t>(i)].delay) - md);
    sxx += x * x;
  }
  const double slope = sxx > 0.0 ? sxy / sxx : 0.0;
  // The line stays continuous (a jump would be a sudden path move to the
  // filter); only its slope changes.
  delay_ = now;
  anchor_ = seg.start;
  rate_ = std::fabs(slope) < kDeadZone ? 0.0 : slope;
}

void ReferenceClock::read(CachedSource& reference, int64_t t0, int64_t lead,
                          std::span<float> out) const {
  const auto n = static_cast<int64_t>(out.size());
  if (n == 0) return;
  const double d0 = delayAt(t0);
  if (rate_ == 0.0 && d0 == std::floor(d0)) {
    // A whole-sample delay: a plain copy.
    const float* x = reference.view(t0 - static_cast<int64_t>(d0) + lead, n);
    std::copy(x, x + n, out.begin());
    return;
  }
  // The position moves 1 - rate reference samples per microphone sample.
  const double step = 1.0 - rate_;
  const double q0 = static_cast<double>(t0 + lead) - d0;
  const double qLast = q0 + step * static_cast<double>(n - 1);
  // Every sample the kernel touches, in one view (0 outside the track).
  const int64_t lo = static_cast<int64_t>(std::floor(std::min(q0, qLast))) - kHalf + 1;
  const int64_t hi = static_cast<int64_t>(std::floor(std::max(q0, qLast))) - kHalf + 1 + kTaps;
  const float* x = reference.view(lo, hi - lo);
  for (int64_t i = 0; i < n; ++i) {
    const double q = q0 + step * static_cast<double>(i);
    const double base = std::floor(q);
    const int64_t p = static_cast<int64_t>((q - base) * static_cast<double>(kPhases) + 0.5);
    const float* c = kernel_.data() + p * kTaps;
    const float* xi = x + (static_cast<int64_t>(base) - kHalf + 1 - lo);
    float acc = 0.0f;
    for (int64_t j = 0; j < kTaps; ++j) acc += xi[j] * c[j];
    out[static_cast<size_t>(i)] = acc;
  }
}
