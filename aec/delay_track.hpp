#pragma once

#include <cstdint>
#include <optional>
#include <vector>

// One stretch of the delay track: from microphone sample `start` on, the echo
// at microphone sample t comes from reference sample t - delay.
struct DelaySeg {
  int64_t start;
  int64_t delay;
};

// The delay search parameters for a sample rate in Hz.
struct DelaySearchParams {
  int64_t segment;      // segment length, also the window searched per segment
  int64_t firstRadius;  // lag half-range of the first segment, around 0
  int64_t laterRadius;  // lag half-range of later segments, around the delay in force
};

DelaySearchParams delaySearchParams(double sampleRate);

// The start of every segment below micLength: 0, segment, 2 * segment, ...
// (at least the first one).
std::vector<int64_t> segmentStarts(int64_t micLength, const DelaySearchParams& params);

// The delay track, one segment after the other: the first segment is
// searched around 0 (0 when nothing is found), each later one around the
// delay in force (which it keeps when nothing is found).
class DelayTrack {
 public:
  explicit DelayTrack(const DelaySearchParams& params) : params_(params) {}

  // Where the next segment's search is centred, and its half-range.
  int64_t nextCenter() const { return segs_.empty() ? 0 : segs_.back().delay; }
  int64_t nextRadius() const { return segs_.empty() ? params_.firstRadius : params_.laterRadius; }
  // Adds the segment from `start` on with what its search found.
  void add(int64_t start, std::optional<int64_t> found) {
    segs_.push_back(DelaySeg{start, found.value_or(nextCenter())});
  }

  const std::vector<DelaySeg>& segs() const { return segs_; }

 private:
  DelaySearchParams params_;
  std::vector<DelaySeg> segs_;
};
