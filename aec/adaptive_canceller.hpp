#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "aec/delay_track.hpp"
#include "aec/sample_source.hpp"

// What one adaptive cancellation did, for its diagnostics line.
struct AdaptiveStats {
  bool ran = false;       // false: the track was too short or the rate unusable
  bool applied = false;   // every segment was kept (none failed the sanity check)
  int64_t segments = 0;   // segments cleaned
  int64_t reverted = 0;   // segments replaced by the microphone by the sanity check
  std::vector<DelaySeg> delays;  // the delay track followed
  int64_t blocks = 0;     // filter blocks of the segments, warm-ups included
  int64_t copies = 0;     // foreground updates (first pass and segments)
  int64_t resets = 0;     // background resets (first pass and segments)
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
// adaptive filter aligned by the default canceller's delay track, followed
// by a residual echo suppressor. A first pass over the opening teaches the
// filter; the track is then cleaned in two-minute segments, each from a
// copy of what the first pass learned, on `threads` threads (0: every core,
// at most 8), the output going to `out` in order, mic.size() samples. The
// bytes never depend on the thread count or on how the sources are read. A
// segment whose result is not finite or louder than four times its input's
// mean square is replaced by its input. Nothing is written (and stats.ran
// is false) when either track is shorter than one frame (1024 samples) or
// the rate is not positive; nothing at all comes back, and nothing is
// written, when a transform cannot be prepared.
std::optional<AdaptiveStats> cancelEchoAdaptive(const SampleSource& mic,
                                                const SampleSource& reference, double sampleRate,
                                                SampleSink& out, int threads = 0);

// The same on tracks in memory: the cleaned track, or the microphone
// unchanged when the canceller did not run.
std::optional<AdaptiveResult> cancelEchoAdaptive(std::span<const float> mic,
                                                 std::span<const float> reference,
                                                 double sampleRate, int threads = 0);

// "[aec] adaptive applied=... segments=N ... delayMs=[...] ..." for the
// stats of a run.
std::string formatAdaptiveDiagnostics(const AdaptiveStats& stats, double sampleRate);
