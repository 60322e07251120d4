#include "aec/stft_window.hpp"

#include <gtest/gtest.h>

#include <cmath>

TEST(StftWindow, FixedPointsOfTheSquareRootHann) {
  const auto win = makeSqrtHannWindow();
  EXPECT_EQ(win[0], 0.0f);
  EXPECT_EQ(win[512], 1.0f);
  EXPECT_EQ(win[256], 0.70710677f);
  EXPECT_EQ(win[768], 0.70710677f);
}

TEST(StftWindow, SquaresHalfAFrameApartSumToOne) {
  // Analysis times synthesis window is a periodic Hann window, and Hann
  // windows a hop apart add up to 1: the identity the overlap-add rests on.
  const auto win = makeSqrtHannWindow();
  for (size_t i = 0; i < 512; ++i) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(win[i] * win[i] + win[i + 512] * win[i + 512], 1.0f, 3e-7f);
  }
}

TEST(StftWindow, UsesTheFloatLiteralNotTwoPi) {
  // The phase step is 6.283185f/1024 in float, and each value comes from
  // float cos and sqrt: recomputing the same way must match bit for bit,
  // while the exact sin(pi*i/1024) differs in some samples.
  const auto win = makeSqrtHannWindow();
  int differFromExact = 0;
  for (int i = 0; i < 1024; ++i) {
    const float theta = (static_cast<float>(i) * 6.283185f) * 0.0009765625f;
    ASSERT_EQ(win[static_cast<size_t>(i)], std::sqrt(0.5f - std::cos(theta) * 0.5f)) << i;
    const float exact = static_cast<float>(std::fabs(std::sin(3.14159265358979323846 * i / 1024.0)));
    if (win[static_cast<size_t>(i)] != exact) ++differFromExact;
  }
  EXPECT_GT(differFromExact, 0);
}
