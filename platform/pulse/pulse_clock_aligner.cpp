#include "platform/pulse/pulse_clock_aligner.hpp"

#include <algorithm>
#include <cmath>

WallClockAligner::WallClockAligner(int64_t startMicros, double rate)
    : startMicros_(startMicros), rate_(rate > 0.0 ? rate : 0.0) {}

int64_t WallClockAligner::framesIn(int64_t micros) const {
  return static_cast<int64_t>(std::floor(static_cast<double>(micros) * rate_ / 1e6));
}

int64_t WallClockAligner::framesAt(int64_t micros) const {
  return framesIn(micros - startMicros_);
}

std::optional<WallClockAligner::Release> WallClockAligner::add(int64_t frames,
                                                               int64_t arrivalMicros) {
  frames = std::max<int64_t>(frames, 0);
  placed_ += frames;
  if (rate_ <= 0.0) return Release{0, 1};  // no clock to keep: hand on as it comes

  // Positive: the source is behind the clock by that many frames; beyond
  // what its own pace explains by `excess`.
  const int64_t deficit = framesAt(arrivalMicros) - placed_;
  const int64_t excess = deficit - static_cast<int64_t>(std::llround(drift_));
  if (heldCount_ == 0) {
    if (started_ && excess <= framesIn(kJitterMicros)) {
      followDrift(deficit, arrivalMicros);
      return Release{0, 1};
    }
    minExcess_ = excess;  // a suspected gap (or the stream's start): judge it
    windowStart_ = arrivalMicros;
  }
  ++heldCount_;
  heldFrames_ += frames;
  minExcess_ = std::min(minExcess_, excess);
  const int64_t window = started_ ? kWindowMicros : kStartWindowMicros;
  if (heldCount_ >= kWindowDeliveries && arrivalMicros - windowStart_ >= window) {
    lastArrival_ = arrivalMicros;
    return release();
  }
  return std::nullopt;
}

void WallClockAligner::followDrift(int64_t deficit, int64_t arrivalMicros) {
  // The pace may move by kDriftPpm of the time since the last delivery: a
  // drifting clock's deficit is followed, a stalling source's is not.
  const double step = static_cast<double>(arrivalMicros - lastArrival_) * rate_ / 1e6 * kDriftPpm / 1e6;
  drift_ += std::clamp(static_cast<double>(deficit) - drift_, -step, step);
  lastArrival_ = arrivalMicros;
}

WallClockAligner::Release WallClockAligner::release() {
  // At the start any lasting deficit is start-up latency; later only one
  // above the jitter allowance is a gap.
  const int64_t threshold = started_ ? framesIn(kJitterMicros) : 0;
  Release r;
  r.count = heldCount_;
  r.zeros = minExcess_ > threshold ? minExcess_ : 0;
  placed_ += r.zeros;
  if (!started_ && minExcess_ < 0) {
    r.drop = std::min(-minExcess_, heldFrames_);
    placed_ -= r.drop;
  }
  started_ = true;
  heldCount_ = 0;
  heldFrames_ = 0;
  minExcess_ = 0;
  return r;
}

WallClockAligner::Release WallClockAligner::flush() {
  if (heldCount_ == 0) return Release{};
  return release();
}

int64_t WallClockAligner::fillUntil(int64_t stopMicros) {
  if (rate_ <= 0.0) return 0;
  const int64_t fill = std::max<int64_t>(framesAt(stopMicros) - placed_, 0);
  placed_ += fill;
  started_ = true;
  return fill;
}
