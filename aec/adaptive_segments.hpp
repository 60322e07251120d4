#pragma once

#include <cstdint>
#include <vector>

#include "aec/adaptive_filter.hpp"
#include "aec/adaptive_suppressor.hpp"
#include "aec/delay_feed.hpp"
#include "aec/sample_source.hpp"

// How the adaptive canceller cuts a track: after the first pass has taught
// the filter on the opening, the track is cleaned in fixed segments, each
// from a copy of what the first pass learned, warmed up on the stretch just
// before it. Every cut and length follows from the track's length and rate
// alone, so the segments are independent of each other and of the order in
// which they are cleaned.
struct SegmentPlan {
  int64_t length = 0;   // the microphone's samples
  int64_t teach = 0;    // samples of the first pass
  int64_t segment = 0;  // samples per segment, whole filter blocks
  int64_t warmUp = 0;   // samples before a segment run and discarded, whole blocks

  int64_t count() const { return length > 0 ? (length + segment - 1) / segment : 0; }
  int64_t start(int64_t i) const { return i * segment; }
  int64_t end(int64_t i) const { return i + 1 < count() ? (i + 1) * segment : length; }
};

// The plan for a microphone of `length` samples at sampleRate (> 0).
SegmentPlan planSegments(int64_t length, double sampleRate);

// One cleaned segment and what cleaning it did.
struct SegmentResult {
  std::vector<float> track;     // the segment's output samples
  AdaptiveFilterStats filter;   // the segment's own blocks, warm-up included
  SuppressorStats suppressor;
  float micSum = 0.0f;          // sums of squares over the segment
  float errorSum = 0.0f;
  float outSum = 0.0f;
  bool kept = true;             // false: louder than the sanity check allows, the microphone instead
};

// The state every segment starts from, and the tracks it reads.
struct SegmentStart {
  const SampleSource& mic;
  const SampleSource& reference;
  DelayFeed& delays;
  const PartitionedEchoFilter& filter;  // as the first pass left it
  const ResidualSuppressor& suppressor;  // nothing learned yet
};

// Cleans segment i of the plan into `out` (whose storage is reused). Safe
// to call for different segments on several threads at once.
void cleanSegment(const SegmentStart& from, const SegmentPlan& plan, int64_t i, SegmentResult& out);
