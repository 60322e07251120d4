#include "aec/vector_ops.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

TEST(MeanSquare, SmallCases) {
  EXPECT_EQ(meanSquare({}), 0.0f);
  const std::vector<float> one{-3.0f};
  EXPECT_EQ(meanSquare(one), 9.0f);
  const std::vector<float> five{3.0f, 4.0f, 0.0f, 1.0f, -2.0f};  // 30 / 5, odd tail
  EXPECT_EQ(meanSquare(five), 6.0f);
}

TEST(MeanSquare, LongTracksStayAccurate) {
  // Ten million samples of 0.1: a float running sum drifts by whole percent
  // here; the mean must stay within float rounding of 0.01.
  const std::vector<float> x(10'000'000, 0.1f);
  const double exact = static_cast<double>(0.1f) * static_cast<double>(0.1f);
  EXPECT_NEAR(meanSquare(x), exact, exact * 1e-6);
}

TEST(MeanSquare, NonFiniteSamplesShow) {
  std::vector<float> x(1000, 0.5f);
  x[997] = std::numeric_limits<float>::quiet_NaN();
  EXPECT_TRUE(std::isnan(meanSquare(x)));
  x[997] = std::numeric_limits<float>::infinity();
  EXPECT_TRUE(std::isinf(meanSquare(x)));
  // Squares whose sum overflows float still average to the finite mean.
  std::vector<float> big(4, 1.5e19f);
  const double sq = static_cast<double>(1.5e19f) * static_cast<double>(1.5e19f);
  EXPECT_EQ(meanSquare(big), static_cast<float>(sq));
}

TEST(SqrtInPlace, MatchesScalarSqrtIncludingTheTail) {
  std::vector<float> x;
  for (int i = 0; i < 11; ++i) x.push_back(static_cast<float>(i) * 0.37f + 1e-30f);
  x.push_back(-1.0f);
  std::vector<float> y = x;
  sqrtInPlace(y);
  for (size_t i = 0; i + 1 < x.size(); ++i) EXPECT_EQ(y[i], std::sqrt(x[i])) << i;
  EXPECT_TRUE(std::isnan(y.back()));
}

TEST(MeanSquareAccumulator, AnyCuttingGivesTheWholeTracksResult) {
  std::vector<float> x(100003);
  uint32_t state = 12345;
  for (float& v : x) {
    state = state * 1664525u + 1013904223u;
    v = static_cast<float>(static_cast<int32_t>(state)) * 4.6566e-10f;
  }
  const float whole = meanSquare(x);
  for (size_t piece : {1u, 3u, 4u, 5u, 512u, 1023u, 50000u}) {
    SCOPED_TRACE(piece);
    MeanSquareAccumulator acc;
    for (size_t at = 0; at < x.size(); at += piece) {
      acc.add(std::span<const float>(x).subspan(at, std::min(piece, x.size() - at)));
    }
    EXPECT_EQ(acc.mean(), whole);
  }
  EXPECT_EQ(MeanSquareAccumulator().mean(), 0.0f);
}
