#include "aec/vector_ops.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "test_signals.hpp"

TEST(MeanSquare, LongTracksStayAccurate) {
  // Ten million samples of 0.1: a float running sum drifts by whole percent.
  const std::vector<float> x(10'000'000, 0.1f);
  const double exact = static_cast<double>(0.1f) * static_cast<double>(0.1f);
  EXPECT_NEAR(meanSquare(x), exact, exact * 1e-6);
}

TEST(MeanSquareAccumulator, AnyCuttingGivesTheWholeTracksResult) {
  const std::vector<float> x = whiteNoise(100003, 1.0f, 12345);
  const float whole = meanSquare(x);
  for (size_t piece : {1u, 3u, 4u, 5u, 512u, 1023u, 50000u}) {
    SCOPED_TRACE(piece);
    MeanSquareAccumulator acc;
    for (size_t at = 0; at < x.size(); at += piece) {
      acc.add(std::span<const float>(x).subspan(at, std::min(piece, x.size() - at)));
    }
    EXPECT_EQ(acc.mean(), whole);
  }
}
