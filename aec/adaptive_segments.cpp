#include "aec/adaptive_segments.hpp"

#include <algorithm>
#include <cmath>

#include "aec/aec_constants.hpp"
#include "aec/cached_source.hpp"

namespace {

constexpr int64_t kBlock = PartitionedEchoFilter::kBlock;
// The first pass covers this much of the opening: enough for the filter to
// converge on ordinary speech.
constexpr double kTeachSeconds = 30.0;
// Segment length: long enough that the warm-ups cost little (3 %), short
// enough that a few segments in flight hold little memory.
constexpr double kSegmentSeconds = 120.0;
// Before its segment the filter runs this long from the first pass's state:
// it settles on the echo path of that moment, and the suppressor learns its
// levels, before any output counts.
constexpr double kWarmUpSeconds = 4.0;
// The suppressor completes a sample once the frame after it is in: a
// segment runs one filter block past its end (when the track goes on), so
// that its last samples come out of whole frames, not of padding.
constexpr int64_t kLookAhead = kBlock;
static_assert(kLookAhead >= ResidualSuppressor::kFrame, "the look-ahead completes the last frame");

// `seconds` at sampleRate in whole blocks, at least one, and never more than
// the blocks that cover the track (which also tames an absurd rate).
int64_t wholeBlocks(double seconds, double sampleRate, int64_t length) {
  const double samples = std::min(sampleRate * seconds, static_cast<double>(length + kBlock - 1));
  return std::max<int64_t>(1, static_cast<int64_t>(samples / static_cast<double>(kBlock))) * kBlock;
}

float sumOfSquares(const float* x, size_t n) {
  float s = 0.0f;
  for (size_t i = 0; i < n; ++i) s += x[i] * x[i];
  return s;
}

}  // namespace

SegmentPlan planSegments(int64_t length, double sampleRate) {
  SegmentPlan plan;
  plan.length = length;
  plan.teach = static_cast<int64_t>(std::min(static_cast<double>(length), sampleRate * kTeachSeconds));
  plan.segment = wholeBlocks(kSegmentSeconds, sampleRate, length);
  plan.warmUp = wholeBlocks(kWarmUpSeconds, sampleRate, length);
  return plan;
}

void cleanSegment(const SegmentStart& from, const SegmentPlan& plan, int64_t i, SegmentResult& out) {
  const int64_t start = plan.start(i), end = plan.end(i);
  const int64_t warm = std::max<int64_t>(0, start - plan.warmUp);
  const bool last = end >= plan.length;
  const int64_t runTo = last ? plan.length : std::min(plan.length, end + kLookAhead);
  PartitionedEchoFilter filter = from.filter;
  ResidualSuppressor suppressor = from.suppressor;
  CachedSource mic(from.mic), reference(from.reference);

  // The suppressor's output, position by position from `warm`: only
  // [start, end) is kept.
  out.track.clear();
  out.track.reserve(static_cast<size_t>(end - start));
  out.errorSum = 0.0f;
  std::vector<float> emitted;
  int64_t at = warm;  // position of emitted[0]
  const auto keep = [&] {
    const int64_t lo = std::max(at, start), hi = std::min(at + static_cast<int64_t>(emitted.size()), end);
    if (lo < hi) out.track.insert(out.track.end(), emitted.begin() + (lo - at), emitted.begin() + (hi - at));
    at += static_cast<int64_t>(emitted.size());
    emitted.clear();
  };
  int64_t block = warm;
  const std::vector<DelaySeg> delays = from.delays.through(runTo);
  out.filter = filter.run(mic, reference, delays, warm, runTo,
                          [&](std::span<const float> error, std::span<const float> echo) {
                            if (block >= start && block < end) out.errorSum += sumOfSquares(error.data(), error.size());
                            block += static_cast<int64_t>(error.size());
                            suppressor.push(error, echo, emitted);
                            keep();
                          });
  if (last) suppressor.finish(emitted);
  keep();
  out.suppressor = suppressor.stats();

  // The sanity check, per segment: a segment louder than four times its
  // input's mean square, or not finite, is replaced by its input.
  std::vector<float> piece(static_cast<size_t>(CachedSource::kDefaultWindow));
  out.micSum = 0.0f;
  for (int64_t p = start; p < end; p += static_cast<int64_t>(piece.size())) {
    const int64_t n = std::min<int64_t>(static_cast<int64_t>(piece.size()), end - p);
    from.mic.read(p, n, piece.data());
    out.micSum += sumOfSquares(piece.data(), static_cast<size_t>(n));
  }
  out.outSum = sumOfSquares(out.track.data(), out.track.size());
  const float n = static_cast<float>(end - start);
  const float mIn = out.micSum / n, mOut = out.outSum / n;
  out.kept = std::isfinite(mIn) && std::isfinite(mOut) &&
             mOut <= mIn * aec::kSanityFactor + aec::kSanityMargin;
  if (!out.kept) {
    out.track.resize(static_cast<size_t>(end - start));
    from.mic.read(start, end - start, out.track.data());
    out.outSum = out.micSum;
  }
}
