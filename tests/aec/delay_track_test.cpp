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
      {48000.0, 480000, 96000, 14400}, {44100.0, 441000, 88200, 13230},
      {16000.0, 160000, 32000, 4800},
      // Low rates: segment and later radius never drop below 1024, the
      // first radius has no lower bound; products truncate toward zero.
      {50.0, 1024, 100, 1024},         {3333.3, 33333, 6666, 1024},
      // Absurd rates saturate: one segment, the largest radii.
      {1e300, kMax, kMax, kMax},       {std::numeric_limits<double>::infinity(), kMax, kMax, kMax},
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
    SCOPED_TRACE(length);
    const std::vector<int64_t> starts = segmentStarts(length, p);
    ASSERT_EQ(starts.size(), static_cast<size_t>((length + 479999) / 480000));
    for (size_t i = 0; i < starts.size(); ++i) EXPECT_EQ(starts[i], static_cast<int64_t>(i) * 480000);
  }
  EXPECT_EQ(segmentStarts(5'000'000, delaySearchParams(1e300)), std::vector<int64_t>{0});
}

TEST(DelayTrack, SearchCentresAndFallbacks) {
  DelayTrack t(delaySearchParams(16000.0));
  // The first search: around 0 with the wide radius; nothing found gives 0.
  EXPECT_EQ(t.nextCenter(), 0);
  EXPECT_EQ(t.nextRadius(), 32000);
  t.add(0, std::nullopt);
  // Later ones: around the delay in force with the narrow radius; nothing
  // found keeps it.
  EXPECT_EQ(t.nextRadius(), 4800);
  t.add(160000, 500);
  EXPECT_EQ(t.nextCenter(), 500);
  t.add(320000, std::nullopt);
  t.add(480000, 520);
  std::vector<std::pair<int64_t, int64_t>> got;
  for (const DelaySeg& s : t.segs()) got.emplace_back(s.start, s.delay);
  EXPECT_EQ(got, (std::vector<std::pair<int64_t, int64_t>>{{0, 0}, {160000, 500}, {320000, 500}, {480000, 520}}));
}
