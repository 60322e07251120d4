#include "aec/delay_track.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

TEST(DelaySearchParams, FromTheSampleRate) {
  struct Row {
    double rate;
    int64_t segment, first, later;
  };
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  const Row rows[] = {
      {48000.0, 480000, 96000, 14400}, {44100.0, 441000, 88200, 13230}, {16000.0, 160000, 32000, 4800},
      // Low rates: segment and later radius never drop below 1024, the
      // first radius has no lower bound; products truncate toward zero.
      {50.0, 1024, 100, 1024},         {3333.3, 33333, 6666, 1024},
      // Absurd rates saturate: one segment, the largest radii.
      {1e300, kMax, kMax, kMax}, {std::numeric_limits<double>::infinity(), kMax, kMax, kMax},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.rate);
    const DelaySearchParams p = delaySearchParams(r.rate);
    EXPECT_EQ(p.segment, r.segment);
    EXPECT_EQ(p.firstRadius, r.first);
    EXPECT_EQ(p.laterRadius, r.later);
  }
}

TEST(SegmentStarts, OnePerSegmentStartBelowTheLength) {
  const DelaySearchParams p = delaySearchParams(48000.0);
  for (int64_t length : {int64_t{1024}, int64_t{480000}, int64_t{480001}, int64_t{960001}}) {
    std::vector<int64_t> want;
    for (int64_t at = 0; at < length; at += 480000) want.push_back(at);
    EXPECT_EQ(segmentStarts(length, p), want) << length;
  }
  EXPECT_EQ(segmentStarts(5'000'000, delaySearchParams(1e300)), std::vector<int64_t>{0});
}

TEST(DelayTrack, FirstSearchWideAroundZeroLaterOnesNarrowAroundTheDelayInForce) {
  DelayTrack t(delaySearchParams(16000.0));
  EXPECT_EQ(std::make_pair(t.nextCenter(), t.nextRadius()), std::make_pair(int64_t{0}, int64_t{32000}));
  t.add(0, std::nullopt);  // nothing found: 0
  t.add(160000, 500);
  EXPECT_EQ(std::make_pair(t.nextCenter(), t.nextRadius()), std::make_pair(int64_t{500}, int64_t{4800}));
  t.add(320000, std::nullopt);  // nothing found: the delay in force
  EXPECT_EQ(std::make_pair(t.segs()[0].delay, t.segs()[2].delay), std::make_pair(int64_t{0}, int64_t{500}));
}
