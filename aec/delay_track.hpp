#pragma once

#include <cstdint>
#include <functional>
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

// A lag search over `window` samples from `at`, lags center - radius ...
// center + radius; nothing when no lag stands out.
using LagSearch = std::function<std::optional<int64_t>(int64_t at, int64_t window, int64_t center,
                                                       int64_t radius)>;

// One record per segment start below micLength (at least one): the first
// searched around 0 (0 when nothing is found), each later one around the
// delay in force (keeping it when nothing is found).
std::vector<DelaySeg> buildDelayTrack(int64_t micLength, double sampleRate,
                                      const LagSearch& search);

// Walks a delay track for frame starts that never decrease: the delay of the
// last record whose start is at or before the frame start.
class DelayCursor {
 public:
  explicit DelayCursor(const std::vector<DelaySeg>& track) : track_(track) {}
  int64_t delayAt(int64_t frameStart);

 private:
  const std::vector<DelaySeg>& track_;
  size_t next_ = 0;
  int64_t delay_ = 0;
};
