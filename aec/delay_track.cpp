#include "aec/delay_track.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "aec/aec_constants.hpp"

namespace {

// Truncation toward zero into int64, saturating. A sample rate so large that
// ten times it does not fit int64 (only an absurd or infinite rate does) gets
// the largest segment and radii: the whole microphone is one segment, and the
// peak pick clamps the range to lags it can tell apart.
int64_t truncSaturating(double x) {
  constexpr double kTwo63 = 9223372036854775808.0;
  if (!(x < kTwo63)) return std::numeric_limits<int64_t>::max();
  if (x < -kTwo63) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(x);
}

}  // namespace

DelaySearchParams delaySearchParams(double sampleRate) {
  DelaySearchParams p;
  p.segment = std::max(truncSaturating(sampleRate * aec::kSegmentSeconds), aec::kMinSpan);
  p.firstRadius = truncSaturating(sampleRate * aec::kFirstRadiusSeconds);
  p.laterRadius = std::max(truncSaturating(sampleRate * aec::kLaterRadiusSeconds), aec::kMinSpan);
  return p;
}

std::vector<int64_t> segmentStarts(int64_t micLength, const DelaySearchParams& params) {
  std::vector<int64_t> starts{0};
  // `at` steps by whole segments while it stays below the length; the test
  // is written so that the step itself cannot overflow.
  for (int64_t at = params.segment; at < micLength;) {
    starts.push_back(at);
    if (params.segment > micLength - at) break;
    at += params.segment;
  }
  return starts;
}
