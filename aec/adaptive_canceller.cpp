// The adaptive echo canceller, in plain words:
//
// 1. Delay. The same delay track as the default canceller (one phase-
//    transform weighted cross-correlation per ten seconds) aligns the
//    reference with the microphone.
// 2. Linear filter. A partitioned-block frequency-domain adaptive filter
//    learns the echo path (about 300 ms of taps around the delay) and
//    subtracts its prediction of the echo. A first pass over the opening
//    only teaches it, so the start of the recording is as clean as the rest.
// 3. Segments. The track is cleaned in fixed segments, each from a copy of
//    what the first pass learned, warmed up on the seconds before it: the
//    segments depend on nothing but the input, run on every core at once,
//    and their output is written in order, a few segments held at a time.
// 4. Residual suppression. What the filter leaves of the echo (its
//    misadjustment, loudspeaker distortion) is taken out per short-time bin,
//    driven by the filter's own echo estimate; where there is no echo
//    estimate nothing is touched.
// 5. Sanity check. A segment louder than four times its input's mean
//    square, or not finite, is replaced by its input.

#include "aec/adaptive_canceller.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>

#include "aec/adaptive_filter.hpp"
#include "aec/adaptive_segments.hpp"
#include "aec/adaptive_suppressor.hpp"
#include "aec/cached_source.hpp"
#include "aec/delay_feed.hpp"
#include "aec/ordered_jobs.hpp"

namespace {

// Shorter tracks come back unchanged, as with the default canceller.
constexpr int64_t kMinLength = 1024;
// Beyond this many threads the segments in flight would cost more memory
// than the time they save.
constexpr int kMaxThreads = 8;

int threadsFor(int threads) {
  if (threads > 0) return std::min(threads, kMaxThreads);
  return std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, kMaxThreads);
}

float levelDb(float num, float den) {
  if (!(num > 1e-12f) || !(den > 1e-12f)) return 0.0f;
  return 10.0f * std::log10(num / den);
}

}  // namespace

std::optional<AdaptiveStats> cancelEchoAdaptive(const SampleSource& mic,
                                                const SampleSource& reference, double sampleRate,
                                                SampleSink& out, int threads) {
  AdaptiveStats stats;
  const int64_t L = mic.size();
  if (L < kMinLength || reference.size() < kMinLength || !(sampleRate > 0.0)) return stats;
  const int workers = threadsFor(threads);
  std::unique_ptr<PartitionedEchoFilter> filter = PartitionedEchoFilter::create(fftwDftFactory());
  std::unique_ptr<ResidualSuppressor> suppressor = ResidualSuppressor::create(fftwDftFactory());
  if (!filter || !suppressor) return std::nullopt;
  // The delay search runs ahead of the filter on a thread of its own.
  std::unique_ptr<DelayFeed> delays = DelayFeed::start(mic, reference, sampleRate, workers);
  if (!delays) return std::nullopt;
  stats.ran = true;

  // The first pass only teaches the filter.
  const SegmentPlan plan = planSegments(L, sampleRate);
  {
    CachedSource micWindow(mic), refWindow(reference);
    const AdaptiveFilterStats first =
        filter->run(micWindow, refWindow, delays->through(plan.teach), 0, plan.teach, nullptr);
    stats.copies = first.copies;
    stats.resets = first.resets;
  }

  // One slot per worker and one finished segment waiting for its turn.
  OrderedJobs jobs(workers, static_cast<size_t>(workers) + 1);
  // The results' room is taken here, where running out of it can still be
  // answered (the workers only ever reuse it).
  std::vector<SegmentResult> slots(jobs.slots());
  for (SegmentResult& slot : slots) slot.track.reserve(static_cast<size_t>(std::min(plan.segment, L)));
  const SegmentStart from{mic, reference, *delays, *filter, *suppressor};
  float micSum = 0.0f, errorSum = 0.0f, outSum = 0.0f;
  jobs.run(
      static_cast<size_t>(plan.count()),
      [&](size_t i, size_t slot) { cleanSegment(from, plan, static_cast<int64_t>(i), slots[slot]); },
      [&](size_t, size_t slot) {
        SegmentResult& r = slots[slot];
        out.write(r.track);
        stats.segments += 1;
        if (!r.kept) stats.reverted += 1;
        stats.blocks += r.filter.blocks;
        stats.copies += r.filter.copies;
        stats.resets += r.filter.resets;
        stats.frames += r.suppressor.frames;
        stats.engaged += r.suppressor.engaged;
        micSum += r.micSum;
        errorSum += r.errorSum;
        outSum += r.outSum;
      });
  stats.delays = delays->whole();
  stats.applied = stats.reverted == 0;
  stats.filterDb = levelDb(micSum, errorSum);
  stats.micDeltaDb = levelDb(outSum, micSum);
  return stats;
}

std::optional<AdaptiveResult> cancelEchoAdaptive(std::span<const float> mic,
                                                 std::span<const float> reference,
                                                 double sampleRate, int threads) {
  const SpanSource micSource(mic), refSource(reference);
  VectorSink sink(mic.size());
  std::optional<AdaptiveStats> stats = cancelEchoAdaptive(micSource, refSource, sampleRate, sink, threads);
  if (!stats) return std::nullopt;
  AdaptiveResult result{stats->ran ? sink.take() : std::vector<float>(mic.begin(), mic.end()), *stats};
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
  const char* applied = stats.reverted == 0 ? "yes"
                        : stats.reverted == stats.segments ? "no(reverted)"
                                                           : "partly";
  const double frames = stats.frames > 0 ? static_cast<double>(stats.frames) : 1.0;
  char line[320];
  std::snprintf(line, sizeof line,
                "[aec] adaptive applied=%s segments=%lld reverted=%lld delayMs=[%s] blocks=%lld "
                "updates=%lld resets=%lld engaged=%.0f%% filter=%.1fdB micΔ=%.1fdB",
                applied, static_cast<long long>(stats.segments),
                static_cast<long long>(stats.reverted), delays.c_str(),
                static_cast<long long>(stats.blocks), static_cast<long long>(stats.copies),
                static_cast<long long>(stats.resets),
                static_cast<double>(stats.engaged) * 100.0 / frames,
                static_cast<double>(stats.filterDb), static_cast<double>(stats.micDeltaDb));
  return line;
}
