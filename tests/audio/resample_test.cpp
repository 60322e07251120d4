#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "audio/sample_utils.hpp"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(ResampleLinear, InputComesBackUnchangedWhenThereIsNothingToDo) {
  struct Case {
    const char* why;
    std::vector<float> x;
    double from, to;
  };
  const std::vector<float> five = {0.1f, -0.2f, 0.3f, -0.4f, 0.5f};
  const Case cases[] = {
      {"half a hertz apart", five, 48000, 48000.5},
      {"exactly one hertz apart", five, 48000, 48001},
      {"one hertz below", five, 48001, 48000},
      {"same rate", five, 44100, 44100},
      {"source rate zero", five, 0, 48000},
      {"target rate zero", five, 48000, 0},
      {"negative source rate", five, -48000, 16000},
      {"negative target rate", five, 16000, -48000},
      {"NaN source rate", five, kNaN, 48000},
      {"NaN target rate", five, 48000, kNaN},
      {"three samples down to one", {0.1f, 0.2f, 0.3f}, 48000, 16000},
      {"one sample up to 1.5", {0.7f}, 1000, 1500},
      {"source rate so small the output could not be held", five, 1e-300, 48000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(resampleLinear(c.x, c.from, c.to), c.x);
  }
  EXPECT_TRUE(resampleLinear({}, 16000, 48000).empty());
}

TEST(ResampleLinear, InterpolatesBetweenNeighboursAndHoldsTheLastSample) {
  struct Case {
    const char* why;
    std::vector<float> x;
    double from, to;
    std::vector<float> want;
  };
  const Case cases[] = {
      {"doubling holds the end", {0.0f, 1.0f}, 1000, 2000, {0.0f, 0.5f, 1.0f, 1.0f}},
      {"halving takes every other", {0.0f, 0.1f, 0.2f, 0.3f, 0.4f, 0.5f}, 2000, 1000,
       {0.0f, 0.2f, 0.4f}},
      {"two samples down to two", {0.25f, -0.25f, 0.5f}, 3000, 2000, {0.25f, 0.125f}},
      {"2.5 output samples truncate to 2", {1.0f, 0.0f, -1.0f, 0.0f, 1.0f}, 2000, 1000,
       {1.0f, -1.0f}},
      {"quadrupling", {0.0f, 1.0f}, 100, 400, {0.0f, 0.25f, 0.5f, 0.75f, 1.0f, 1.0f, 1.0f, 1.0f}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(resampleLinear(c.x, c.from, c.to), c.want);
  }
}

TEST(ResampleLinear, FractionIsTakenInFloatAfterDividingTheIndexByTheRatio) {
  // 1000 -> 3000 Hz: positions i/3; the fraction of position 1/3 rounds to
  // the float nearest a third, and the mix is x[a] + (x[b] - x[a]) * frac.
  const std::vector<float> x = {0.2f, 0.7f};
  const auto y = resampleLinear(x, 1000, 3000);
  ASSERT_EQ(y.size(), 6u);
  const float third = static_cast<float>(1.0 / 3.0);
  const float twoThirds = static_cast<float>(2.0 / 3.0);
  EXPECT_EQ(y[0], 0.2f);
  EXPECT_EQ(y[1], 0.2f + (0.7f - 0.2f) * third);
  EXPECT_EQ(y[2], 0.2f + (0.7f - 0.2f) * twoThirds);
  EXPECT_EQ(y[3], 0.7f);
  EXPECT_EQ(y[5], 0.7f);
}

TEST(ResampleLinear, LengthFollowsTheRatioForCommonRatePairs) {
  const std::vector<float> x(44100, 0.25f);
  struct Case {
    double from, to;
    size_t want;
  };
  const Case cases[] = {{44100, 48000, 48000}, {48000, 44100, 40516}, {16000, 48000, 132300},
                        {48000, 16000, 14700}, {44100, 44101.5, 44101}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.from) + " -> " + std::to_string(c.to));
    const auto y = resampleLinear(x, c.from, c.to);
    EXPECT_EQ(y.size(), c.want);
    // A constant stays exactly constant: (x - x) * frac adds zero.
    EXPECT_EQ(peak(y), 0.25f);
  }
}

}  // namespace
