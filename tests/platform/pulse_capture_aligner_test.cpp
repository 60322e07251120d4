// WallClockAligner: a source's buffers land where their time says, whatever
// the delivery does (start-up latency, jitter, late bursts, gaps, a slow
// source, the stop).

#include "platform/pulse/pulse_clock_aligner.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double kRate = 48000.0;
constexpr int64_t kFragmentMicros = 20'000;

int64_t framesIn(int64_t micros) { return micros * 48 / 1000; }

// One delivery: `frames` frames whose first was captured at `captureMicros`,
// arriving at `arrivalMicros`.
struct Delivery {
  int64_t arrivalMicros;
  int64_t frames;
  int64_t captureMicros;
};

// Feeds deliveries through an aligner the way a record stream does, and keeps
// for every frame of the resulting track the time it was captured (-1 for an
// inserted zero).
class Track {
 public:
  explicit Track(int64_t startMicros = 0) : aligner_(startMicros, kRate) {}

  void deliver(const Delivery& d) {
    held_.push_back(d);
    if (auto r = aligner_.add(d.frames, d.arrivalMicros)) apply(*r);
  }

  void stop(int64_t stopMicros) {
    apply(aligner_.flush());
    frames_.insert(frames_.end(), static_cast<size_t>(aligner_.fillUntil(stopMicros)), -1);
  }

  // Largest distance (microseconds) between a frame's place and its capture time.
  int64_t worstError() const {
    int64_t worst = 0;
    for (size_t i = 0; i < frames_.size(); ++i) {
      if (frames_[i] < 0) continue;
      const auto place = static_cast<int64_t>(static_cast<double>(i) * 1e6 / kRate);
      worst = std::max<int64_t>(worst, std::llabs(place - frames_[i]));
    }
    return worst;
  }

  const std::vector<int64_t>& frames() const { return frames_; }
  const std::vector<int64_t>& zeroRuns() const { return zeroRuns_; }
  const WallClockAligner& aligner() const { return aligner_; }

 private:
  void apply(const WallClockAligner::Release& r) {
    ASSERT_LE(r.count, held_.size());
    if (r.count > 0 || r.zeros > 0) zeroRuns_.push_back(r.zeros);
    frames_.insert(frames_.end(), static_cast<size_t>(r.zeros), -1);
    int64_t drop = r.drop;
    for (size_t i = 0; i < r.count; ++i) {
      const Delivery d = held_.front();
      held_.pop_front();
      const int64_t skip = std::min(drop, d.frames);
      drop -= skip;
      for (int64_t k = skip; k < d.frames; ++k) {
        const auto offset = static_cast<int64_t>(static_cast<double>(k) * 1e6 / kRate);
        frames_.push_back(d.captureMicros + offset);
      }
    }
  }

  WallClockAligner aligner_;
  std::deque<Delivery> held_;
  std::vector<int64_t> frames_;
  std::vector<int64_t> zeroRuns_;  // zeros of each release, in order
};

// A source that captures continuously from `fromMicros` to `toMicros` and
// delivers each fragment `lagMicros` after its end.
std::vector<Delivery> steady(int64_t fromMicros, int64_t toMicros, int64_t lagMicros = 2'000) {
  std::vector<Delivery> out;
  for (int64_t t = fromMicros; t < toMicros; t += kFragmentMicros) {
    out.push_back({t + kFragmentMicros + lagMicros, framesIn(kFragmentMicros), t});
  }
  return out;
}

int64_t sumAfterFirst(const std::vector<int64_t>& runs) {
  int64_t sum = 0;
  for (size_t i = 1; i < runs.size(); ++i) sum += runs[i];
  return sum;
}

TEST(WallClockAligner, StartUpLatencyBecomesLeadingZeros) {
  for (int64_t firstData : {int64_t{0}, int64_t{35000}, int64_t{300000}, int64_t{1900000}}) {
    SCOPED_TRACE("first data captured at " + std::to_string(firstData) + " us");
    Track track;
    for (const Delivery& d : steady(firstData, firstData + 2'000'000)) track.deliver(d);
    track.stop(firstData + 2'000'000 + 22'000);
    ASSERT_FALSE(track.zeroRuns().empty());
    // The zeros stand for the time before the first data, to a few ms.
    EXPECT_NEAR(static_cast<double>(track.zeroRuns().front()),
                static_cast<double>(framesIn(firstData)), static_cast<double>(framesIn(3'000)));
    EXPECT_LE(track.worstError(), 3'000);
    EXPECT_EQ(sumAfterFirst(track.zeroRuns()), 0);
  }
}

TEST(WallClockAligner, WhatASourceHadBeforeTheStartIsLeftOut) {
  // A source that hands over 60 ms it had before the stream started, then
  // goes on in real time: the track still starts at the start.
  Track track;
  track.deliver({1'000, framesIn(60'000), -60'000});
  for (const Delivery& d : steady(0, 1'000'000)) track.deliver(d);
  track.stop(1'030'000);
  EXPECT_EQ(static_cast<int64_t>(track.frames().size()), framesIn(1'030'000));
  ASSERT_FALSE(track.frames().empty());
  EXPECT_GE(track.frames().front(), -3'000);
  EXPECT_LE(track.worstError(), 3'000);
}

TEST(WallClockAligner, DeliveryJitterInsertsNothing) {
  for (unsigned seed = 1; seed <= 5; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int64_t> late(0, 35'000);
    Track track;
    int64_t lastArrival = 0;
    for (Delivery d : steady(0, 3'000'000)) {
      // Late by up to 35 ms, but never before the one before it.
      d.arrivalMicros = std::max(lastArrival, d.arrivalMicros + late(rng));
      lastArrival = d.arrivalMicros;
      track.deliver(d);
    }
    track.stop(3'040'000);
    EXPECT_EQ(sumAfterFirst(track.zeroRuns()), 0);
    // The start is placed by the least late delivery of its window.
    EXPECT_LE(track.worstError(), 10'000);
  }
}

TEST(WallClockAligner, LateBurstInPiecesInsertsNothing) {
  Track track;
  for (const Delivery& d : steady(0, 1'000'000)) track.deliver(d);
  // The delivery path stalls for half a second; then the backlog comes in
  // small pieces within two milliseconds, and the stream goes on.
  int64_t at = 1'500'000;
  for (int64_t t = 1'000'000; t < 1'500'000; t += 2'000) {
    track.deliver({at, framesIn(2'000), t});
    at += 4;
  }
  for (const Delivery& d : steady(1'500'000, 2'500'000)) track.deliver(d);
  track.stop(2'530'000);
  EXPECT_EQ(sumAfterFirst(track.zeroRuns()), 0);
  EXPECT_LE(track.worstError(), 5'000);
}

TEST(WallClockAligner, GapBecomesSilenceOfItsLength) {
  for (int64_t gap : {int64_t{60000}, int64_t{500000}, int64_t{4000000}}) {
    SCOPED_TRACE("gap of " + std::to_string(gap) + " us");
    Track track;
    for (const Delivery& d : steady(0, 2'000'000)) track.deliver(d);
    for (const Delivery& d : steady(2'000'000 + gap, 3'000'000 + gap)) track.deliver(d);
    track.stop(3'030'000 + gap);
    EXPECT_NEAR(static_cast<double>(sumAfterFirst(track.zeroRuns())),
                static_cast<double>(framesIn(gap)), static_cast<double>(framesIn(3'000)));
    // Everything after the gap sits where it was captured.
    EXPECT_LE(track.worstError(), 3'000);
  }
}

TEST(WallClockAligner, ZerosGoBeforeTheFirstBufferAfterTheGap) {
  Track track;
  for (const Delivery& d : steady(0, 1'000'000)) track.deliver(d);
  const size_t before = track.frames().size();
  for (const Delivery& d : steady(3'000'000, 3'400'000)) track.deliver(d);
  track.stop(3'430'000);
  const std::vector<int64_t>& f = track.frames();
  // Somewhere after the first second the track turns to zeros, and the first
  // frame after them is the first frame captured after the gap.
  size_t firstZero = before;
  while (firstZero < f.size() && f[firstZero] >= 0) ++firstZero;
  size_t afterZeros = firstZero;
  while (afterZeros < f.size() && f[afterZeros] < 0) ++afterZeros;
  ASSERT_LT(afterZeros, f.size());
  EXPECT_EQ(f[afterZeros], 3'000'000);
  EXPECT_NEAR(static_cast<double>(afterZeros - firstZero), static_cast<double>(framesIn(2'000'000)),
              static_cast<double>(framesIn(3'000)));
}

TEST(WallClockAligner, SlowSourceStaysOnTheClock) {
  // An idle sink's monitor that renders 60 % of real time: every 20 ms
  // brings 12 ms of audio.
  Track track;
  int64_t captured = 0;
  for (int64_t t = 20'000; t <= 6'000'000; t += kFragmentMicros) {
    track.deliver({t, framesIn(12'000), captured});
    captured += 12'000;
  }
  const int64_t behind = framesIn(6'000'000) - track.aligner().placedFrames();
  // At most the allowance for jitter plus what goes missing while a gap is
  // judged.
  EXPECT_LE(behind, framesIn(WallClockAligner::kJitterMicros + WallClockAligner::kWindowMicros +
                             kFragmentMicros));
  EXPECT_GE(behind, 0);
}

TEST(WallClockAligner, StopFillsUpToTheStopInstant) {
  for (int64_t stop : {int64_t{1030000}, int64_t{1050000}, int64_t{4000000}}) {
    SCOPED_TRACE("stop at " + std::to_string(stop) + " us");
    Track track;
    for (const Delivery& d : steady(100'000, 1'000'000)) track.deliver(d);
    track.stop(stop);
    EXPECT_EQ(static_cast<int64_t>(track.frames().size()), framesIn(stop));
    EXPECT_EQ(track.aligner().heldCount(), 0u);
  }
}

TEST(WallClockAligner, StopReleasesHeldBuffersInOrder) {
  Track track;
  for (const Delivery& d : steady(0, 1'000'000)) track.deliver(d);
  // A gap, then two buffers: still being judged when the stop comes.
  track.deliver({2'022'000, framesIn(kFragmentMicros), 2'000'000});
  track.deliver({2'042'000, framesIn(kFragmentMicros), 2'020'000});
  EXPECT_EQ(track.aligner().heldCount(), 2u);
  track.stop(2'050'000);
  const std::vector<int64_t>& f = track.frames();
  EXPECT_EQ(static_cast<int64_t>(f.size()), framesIn(2'050'000));
  // The held buffers went out in order, after the gap's zeros.
  EXPECT_LE(track.worstError(), 3'000);
}

TEST(WallClockAligner, SourceAheadOfTheClockIsNeverCut) {
  // After a steady start, a source that delivers more than real time (a
  // device clock running fast) keeps every frame, and nothing is inserted.
  Track track;
  std::vector<Delivery> start = steady(0, 400'000);
  for (const Delivery& d : start) track.deliver(d);
  int64_t captured = 400'000;
  for (int64_t t = 420'000 + kFragmentMicros; t <= 2'000'000; t += kFragmentMicros) {
    track.deliver({t, framesIn(21'000), captured});
    captured += 21'000;
  }
  track.stop(2'000'000);
  EXPECT_EQ(sumAfterFirst(track.zeroRuns()), 0);
  ASSERT_FALSE(track.zeroRuns().empty());
  EXPECT_EQ(track.aligner().placedFrames(), track.zeroRuns().front() + framesIn(captured));
}

TEST(WallClockAligner, WithoutARateEveryBufferPassesAsItComes) {
  WallClockAligner aligner(0, 0.0);
  auto r = aligner.add(480, 5'000'000);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->zeros, 0);
  EXPECT_EQ(r->count, 1u);
  EXPECT_EQ(aligner.fillUntil(10'000'000), 0);
}

}  // namespace
