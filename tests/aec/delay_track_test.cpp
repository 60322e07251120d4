#include "aec/delay_track.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

struct Call {
  int64_t at, window, center, radius;
  bool operator==(const Call&) const = default;
};

// A lag search that records its calls and answers from a script.
struct ScriptedSearch {
  std::vector<std::optional<int64_t>> answers;
  std::vector<Call> calls;
  LagSearch fn() {
    return [this](int64_t at, int64_t window, int64_t center, int64_t radius) {
      calls.push_back({at, window, center, radius});
      const size_t i = calls.size() - 1;
      return i < answers.size() ? answers[i] : std::optional<int64_t>{};
    };
  }
};

std::vector<int64_t> starts(const std::vector<DelaySeg>& t) {
  std::vector<int64_t> s;
  for (const DelaySeg& r : t) s.push_back(r.start);
  return s;
}
std::vector<int64_t> delays(const std::vector<DelaySeg>& t) {
  std::vector<int64_t> s;
  for (const DelaySeg& r : t) s.push_back(r.delay);
  return s;
}

}  // namespace

TEST(DelaySearchParams, FromTheSampleRate) {
  struct Row {
    double rate;
    int64_t segment, first, later;
  };
  const Row rows[] = {
      {48000.0, 480000, 96000, 14400}, {44100.0, 441000, 88200, 13230},
      {16000.0, 160000, 32000, 4800},  {96000.0, 960000, 192000, 28800},
      // Low rates: segment and later radius never drop below 1024, the
      // first radius has no lower bound; products truncate toward zero.
      {50.0, 1024, 100, 1024},         {3333.3, 33333, 6666, 1024},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.rate);
    const DelaySearchParams p = delaySearchParams(r.rate);
    EXPECT_EQ(p.segment, r.segment);
    EXPECT_EQ(p.firstRadius, r.first);
    EXPECT_EQ(p.laterRadius, r.later);
  }
}

TEST(DelaySearchParams, AbsurdRatesSaturate) {
  for (double rate : {1e18, 1e300, std::numeric_limits<double>::infinity()}) {
    SCOPED_TRACE(rate);
    const DelaySearchParams p = delaySearchParams(rate);
    EXPECT_EQ(p.segment, std::numeric_limits<int64_t>::max());
    EXPECT_GT(p.firstRadius, 0);
    EXPECT_GT(p.laterRadius, 0);
  }
}

TEST(DelayTrack, SegmentStartsAndSearchesAt48kHz) {
  ScriptedSearch s;
  s.answers = {733, 740, 751};
  const auto track = buildDelayTrack(1'200'000, 48000.0, s.fn());  // 25 s
  EXPECT_EQ(starts(track), (std::vector<int64_t>{0, 480000, 960000}));
  EXPECT_EQ(delays(track), (std::vector<int64_t>{733, 740, 751}));
  // The first search is centred on 0 with the wide radius; later ones on
  // the delay in force with the narrow one.
  EXPECT_EQ(s.calls, (std::vector<Call>{{0, 480000, 0, 96000},
                                        {480000, 480000, 733, 14400},
                                        {960000, 480000, 740, 14400}}));
}

TEST(DelayTrack, MissingEstimatesFallBack) {
  // Nothing in the first segment: delay 0. Nothing later: the delay in force.
  ScriptedSearch s;
  s.answers = {std::nullopt, 500, std::nullopt, std::nullopt, 520};
  const auto track = buildDelayTrack(5 * 160000, 16000.0, s.fn());
  EXPECT_EQ(delays(track), (std::vector<int64_t>{0, 500, 500, 500, 520}));
  EXPECT_EQ(s.calls[1].center, 0);
  EXPECT_EQ(s.calls[3].center, 500);
  EXPECT_EQ(s.calls[4].center, 500);
}

TEST(DelayTrack, OneRecordPerSegmentStartBelowTheLength) {
  for (int64_t length : {int64_t{1024}, int64_t{480000}, int64_t{480001}, int64_t{960000},
                         int64_t{960001}}) {
    SCOPED_TRACE(length);
    ScriptedSearch s;
    const auto track = buildDelayTrack(length, 48000.0, s.fn());
    const size_t want = static_cast<size_t>((length + 479999) / 480000);
    EXPECT_EQ(track.size(), want);
    EXPECT_EQ(s.calls.size(), want);
    EXPECT_EQ(track.front().start, 0);
  }
}

TEST(DelayTrack, AnInfiniteRateGivesOneSegment) {
  ScriptedSearch s;
  s.answers = {12};
  const auto track = buildDelayTrack(5'000'000, std::numeric_limits<double>::infinity(), s.fn());
  ASSERT_EQ(track.size(), 1u);
  EXPECT_EQ(track[0].delay, 12);
}

TEST(DelayCursor, LastRecordStartingAtOrBeforeTheFrame) {
  const std::vector<DelaySeg> track{{0, 10}, {1000, 20}, {2000, 30}};
  DelayCursor c(track);
  EXPECT_EQ(c.delayAt(0), 10);
  EXPECT_EQ(c.delayAt(512), 10);  // a frame straddling 1000 keeps the earlier delay
  EXPECT_EQ(c.delayAt(999), 10);
  EXPECT_EQ(c.delayAt(1000), 20);
  EXPECT_EQ(c.delayAt(1536), 20);
  EXPECT_EQ(c.delayAt(2048), 30);
  EXPECT_EQ(c.delayAt(1'000'000), 30);
}
