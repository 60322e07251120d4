// WallClockAligner: a source's buffers land where their time says, whatever
// the delivery does (start-up latency, jitter, late bursts, gaps, the stop).
#include "platform/pulse/pulse_clock_aligner.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>

namespace {

constexpr int64_t kFragment = 20'000;  // microseconds per delivery

int64_t framesIn(int64_t micros) { return micros * 48 / 1000; }

// One delivery: `frames` frames captured from `captured` on, arriving at `arrival`.
struct Delivery {
  int64_t arrival, frames, captured;
};

// Feeds deliveries through an aligner at 48 kHz the way a record source does,
// and keeps for every frame of the track the time it was captured (-1: a zero).
struct Track {
  WallClockAligner aligner{0, 48000.0};
  std::deque<Delivery> held;
  std::vector<int64_t> frames;

  void deliver(const Delivery& d) {
    held.push_back(d);
    if (auto r = aligner.add(d.frames, d.arrival)) apply(*r);
  }
  void stop(int64_t at) {
    apply(aligner.flush());
    frames.insert(frames.end(), static_cast<size_t>(aligner.fillUntil(at)), -1);
  }
  void apply(const WallClockAligner::Release& r) {
    frames.insert(frames.end(), static_cast<size_t>(r.zeros), -1);
    for (int64_t i = 0, drop = r.drop; i < static_cast<int64_t>(r.count); ++i, held.pop_front()) {
      const int64_t skip = std::min(drop, held.front().frames);
      drop -= skip;
      for (int64_t k = skip; k < held.front().frames; ++k) frames.push_back(held.front().captured + k * 1000 / 48);
    }
  }
  // Zeros between the first and the last captured frame.
  int64_t insertedZeros() const {
    auto first = std::find_if(frames.begin(), frames.end(), [](int64_t f) { return f >= 0; });
    auto last = std::find_if(frames.rbegin(), frames.rend(), [](int64_t f) { return f >= 0; });
    return first == frames.end() ? 0 : std::count(first, last.base(), -1);
  }
  // Largest distance (microseconds) between a frame's place and its capture.
  int64_t worstError() const {
    int64_t worst = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
      if (frames[i] >= 0) worst = std::max<int64_t>(worst, std::llabs(static_cast<int64_t>(i) * 1000 / 48 - frames[i]));
    }
    return worst;
  }
};

// A source capturing from `from` to `to`, each fragment delivered `lag` after its end.
void steady(Track& track, int64_t from, int64_t to, int64_t lag = 2'000) {
  for (int64_t t = from; t < to; t += kFragment) track.deliver({t + kFragment + lag, framesIn(kFragment), t});
}

TEST(WallClockAligner, StartUpLatencyAndGapsBecomeZerosOfTheirLengthOlderDataIsLeftOut) {
  // {first data captured at, gap after 2 s}; negative: that much handed over at once.
  for (auto [firstData, gap] : {std::pair{-60'000, 0}, {0, 60'000}, {300'000, 0}, {1'900'000, 0}, {0, 1'000'000}}) {
    SCOPED_TRACE(std::to_string(firstData) + " us, gap " + std::to_string(gap) + " us");
    Track track;
    if (firstData < 0) track.deliver({1'000, framesIn(-firstData), firstData});
    steady(track, std::max(firstData, 0), 2'000'000);
    // The stop comes while the buffers after the gap are still being judged.
    steady(track, 2'000'000 + gap, 2'040'000 + gap);
    track.stop(2'050'000 + gap);
    EXPECT_EQ(static_cast<int64_t>(track.frames.size()), framesIn(2'050'000 + gap));
    EXPECT_NEAR(track.insertedZeros(), framesIn(gap), framesIn(3'000));
    EXPECT_LE(track.worstError(), 3'000);
  }
}

TEST(WallClockAligner, JitterAndALateBurstInsertNothing) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int64_t> late(0, 35'000);
  Track track;
  for (int64_t t = 0, last = 0; t < 2'000'000; t += kFragment) {
    last = std::max(last, t + kFragment + late(rng));  // late by up to 35 ms, in order
    track.deliver({last, framesIn(kFragment), t});
  }
  // The delivery path stalls for half a second; the backlog then comes in
  // small pieces within two milliseconds.
  for (int64_t t = 2'000'000, at = 2'500'000; t < 2'500'000; t += 2'000, at += 4) track.deliver({at, framesIn(2'000), t});
  steady(track, 2'500'000, 3'000'000);
  track.stop(3'022'000);
  EXPECT_EQ(track.insertedZeros(), 0);
  EXPECT_LE(track.worstError(), 10'000);
}

}  // namespace
