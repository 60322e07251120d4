#include "aec/delay_track.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace {

// Truncation toward zero into int64, saturating. A sample rate so large that
// ten times it does not fit int64 (only an absurd or infinite rate does) gets
// the largest segment and radii: the whole microphone is one segment, and the
// lag search clamps the range to lags it can tell apart (EchoCanceller::bestLag).
int64_t truncSaturating(double x) {
  constexpr double kTwo63 = 9223372036854775808.0;
  if (!(x < kTwo63)) return std::numeric_limits<int64_t>::max();
  if (x < -kTwo63) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(x);
}

// Ten seconds per segment and search window; the first search covers +-2 s
// around no delay, later ones +-0.3 s (at least one frame) around the delay
// in force, so the track follows slow drift.
constexpr double kSegmentSeconds = 10.0;
constexpr double kFirstRadiusSeconds = 2.0;
constexpr double kLaterRadiusSeconds = 0.3;
constexpr int64_t kMinSpan = 1024;

}  // namespace

DelaySearchParams delaySearchParams(double sampleRate) {
  DelaySearchParams p;
  p.segment = std::max(truncSaturating(sampleRate * kSegmentSeconds), kMinSpan);
  p.firstRadius = truncSaturating(sampleRate * kFirstRadiusSeconds);
  p.laterRadius = std::max(truncSaturating(sampleRate * kLaterRadiusSeconds), kMinSpan);
  return p;
}

std::vector<DelaySeg> buildDelayTrack(int64_t micLength, double sampleRate,
                                      const LagSearch& search) {
  const DelaySearchParams params = delaySearchParams(sampleRate);
  std::vector<DelaySeg> track;
  int64_t d = search(0, params.segment, 0, params.firstRadius).value_or(0);
  track.push_back(DelaySeg{0, d});
  // `at` steps by whole segments while it stays below the length; the test
  // is written so that the step itself cannot overflow.
  for (int64_t at = params.segment; at < micLength;) {
    if (std::optional<int64_t> r = search(at, params.segment, d, params.laterRadius)) d = *r;
    track.push_back(DelaySeg{at, d});
    if (params.segment > micLength - at) break;
    at += params.segment;
  }
  return track;
}

int64_t DelayCursor::delayAt(int64_t frameStart) {
  while (next_ < track_.size() && track_[next_].start <= frameStart) {
    delay_ = track_[next_].delay;
    ++next_;
  }
  return delay_;
}
