#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "aec/delay_track.hpp"

// What one adaptive cancellation did, for its diagnostics line.
struct AdaptiveStats {
  bool ran = false;       // false: the track was too short or the rate unusable
  bool applied = false;   // the cleaned track was kept (it passed the sanity check)
  std::vector<DelaySeg> delays;  // the delay track followed
  int64_t blocks = 0;     // filter blocks of the second pass
  int64_t copies = 0;     // foreground updates (both passes)
  int64_t resets = 0;     // background resets (both passes)
  int64_t frames = 0;     // suppressor frames
  int64_t engaged = 0;    // suppressor frames that attenuated some bin
  float filterDb = 0.0f;  // 10 log10 of mic over the linear filter's error power
  float micDeltaDb = 0.0f;  // 10 log10 of output over mic power
};

struct AdaptiveResult {
  std::vector<float> track;  // exactly the microphone's length
  AdaptiveStats stats;
};

// Removes the echo of `reference` from `mic` with a partitioned-block
// adaptive filter (two passes, the second starting from what the first
// learned) aligned by the default canceller's delay track, followed by a
// residual echo suppressor. The microphone comes back unchanged when either
// track is shorter than one frame (1024 samples), the rate is not positive,
// or the result is not finite or louder than four times the input's mean
// square; nothing when a transform cannot be prepared.
std::optional<AdaptiveResult> cancelEchoAdaptive(std::span<const float> mic,
                                                 std::span<const float> reference, double sampleRate);

// "[aec] adaptive applied=... delayMs=[...] ..." for the stats of a run.
std::string formatAdaptiveDiagnostics(const AdaptiveStats& stats, double sampleRate);
