// The adaptive echo canceller, in plain words:
//
// 1. Delay. The same delay track as the default canceller (one phase-
//    transform weighted cross-correlation per ten seconds) aligns the
//    reference with the microphone.
// 2. Linear filter. A partitioned-block frequency-domain adaptive filter
//    learns the echo path (about 300 ms of taps around the delay) and
//    subtracts its prediction of the echo. It runs twice: the first pass over
//    the opening stretch only teaches it, the second pass starts from what it
//    learned, so the start of the recording is as clean as the rest.
// 3. Residual suppression. What the filter leaves of the echo (its
//    misadjustment, loudspeaker distortion) is taken out per short-time bin,
//    driven by the filter's own echo estimate; where there is no echo
//    estimate nothing is touched.
// 4. Sanity check. A result louder than four times the input's mean square,
//    or not finite, is discarded in favour of the input.

#include "aec/adaptive_canceller.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "aec/adaptive_delay.hpp"
#include "aec/adaptive_filter.hpp"
#include "aec/adaptive_suppressor.hpp"

namespace {

// Shorter tracks come back unchanged, as with the default canceller.
constexpr int64_t kMinLength = 1024;
// The first pass covers this much of the opening: enough for the filter to
// converge on ordinary speech.
constexpr double kTeachSeconds = 30.0;
// A result is kept when its mean square is at most 4 times the input's
// (about +6 dB) plus this.
constexpr float kSanityMargin = 0.000001f;

// Mean square of a track taken a piece at a time, summed in order.
class MeanSquare {
 public:
  void add(std::span<const float> x) {
    for (float v : x) sum_ += v * v;
    count_ += static_cast<int64_t>(x.size());
  }
  float mean() const { return count_ > 0 ? sum_ / static_cast<float>(count_) : 0.0f; }

 private:
  float sum_ = 0.0f;
  int64_t count_ = 0;
};

float meanSquare(std::span<const float> x) {
  MeanSquare m;
  m.add(x);
  return m.mean();
}

float levelDb(float num, float den) {
  if (!(num > 1e-12f) || !(den > 1e-12f)) return 0.0f;
  return 10.0f * std::log10(num / den);
}

}  // namespace

std::optional<AdaptiveResult> cancelEchoAdaptive(std::span<const float> mic,
                                                 std::span<const float> reference,
                                                 double sampleRate) {
  AdaptiveResult result;
  const int64_t L = static_cast<int64_t>(mic.size());
  if (L < kMinLength || static_cast<int64_t>(reference.size()) < kMinLength || !(sampleRate > 0.0)) {
    result.track.assign(mic.begin(), mic.end());
    return result;
  }
  std::optional<std::vector<DelaySeg>> track = adaptiveDelayTrack(mic, reference, sampleRate);
  std::unique_ptr<PartitionedEchoFilter> filter = PartitionedEchoFilter::create(fftwDftFactory());
  std::unique_ptr<ResidualSuppressor> suppressor = ResidualSuppressor::create(fftwDftFactory());
  if (!track || !filter || !suppressor) return std::nullopt;
  AdaptiveStats& stats = result.stats;
  stats.ran = true;
  stats.delays = *track;

  // The first pass only teaches the filter; the second pass's blocks go
  // straight on to the suppressor.
  const double teach = std::min(static_cast<double>(L), sampleRate * kTeachSeconds);
  const AdaptiveFilterStats first =
      filter->run(mic, reference, *track, static_cast<int64_t>(teach), nullptr);
  result.track.reserve(static_cast<size_t>(L));
  MeanSquare errorLevel;
  const AdaptiveFilterStats second = filter->run(
      mic, reference, *track, L, [&](std::span<const float> error, std::span<const float> echo) {
        errorLevel.add(error);
        suppressor->push(error, echo, result.track);
      });
  suppressor->finish(result.track);
  stats.blocks = second.blocks;
  stats.copies = first.copies + second.copies;
  stats.resets = first.resets + second.resets;
  stats.frames = suppressor->stats().frames;
  stats.engaged = suppressor->stats().engaged;

  const float mIn = meanSquare(mic);
  const float mOut = meanSquare(result.track);
  stats.filterDb = levelDb(mIn, errorLevel.mean());
  stats.micDeltaDb = levelDb(mOut, mIn);
  stats.applied = std::isfinite(mIn) && std::isfinite(mOut) && mOut <= mIn * 4.0f + kSanityMargin;
  if (!stats.applied) result.track.assign(mic.begin(), mic.end());
  return result;
}

std::string formatAdaptiveDiagnostics(const AdaptiveStats& stats, double sampleRate) {
  std::string delays;
  const size_t shown = std::min<size_t>(6, stats.delays.size());
  for (size_t i = 0; i < shown; ++i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%.0f", i ? "," : "",
                  static_cast<double>(stats.delays[i].delay) / sampleRate * 1000.0);
    delays += buf;
  }
  const double frames = stats.frames > 0 ? static_cast<double>(stats.frames) : 1.0;
  char line[256];
  std::snprintf(line, sizeof line,
                "[aec] adaptive applied=%s delayMs=[%s] blocks=%lld updates=%lld resets=%lld "
                "engaged=%.0f%% filter=%.1fdB micΔ=%.1fdB",
                stats.applied ? "yes" : "no(reverted)", delays.c_str(),
                static_cast<long long>(stats.blocks), static_cast<long long>(stats.copies),
                static_cast<long long>(stats.resets),
                static_cast<double>(stats.engaged) * 100.0 / frames,
                static_cast<double>(stats.filterDb), static_cast<double>(stats.micDeltaDb));
  return line;
}
