#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "audio/sample_utils.hpp"

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

TEST(Peak, LargestMagnitudeWithNaNPassedOver) {
  struct Case {
    std::vector<float> x;
    float want;
  };
  const Case cases[] = {
      {{-0.5f, 0.25f}, 0.5f},
      {{}, 0.0f},
      {{0.0f, -0.0f}, 0.0f},
      {{kNaN, 0.3f}, 0.3f},
      {{0.3f, kNaN, -0.7f}, 0.7f},
      {{kNaN}, 0.0f},
      {{-kInf, 0.5f}, kInf},
      {{-1.0f, 1.0f, -1.0f}, 1.0f},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(peak(cases[i].x), cases[i].want);
  }
}

TEST(ClipPct, ShareOfSamplesAtOrAboveNearFullScale) {
  struct Case {
    std::vector<float> x;
    float want;
  };
  const Case cases[] = {
      {{1.0f, -0.9995f, 0.5f, 0.0f}, 50.0f},
      {{}, 0.0f},
      {{0.999f}, 100.0f},
      {{-0.999f}, 100.0f},
      {{std::nextafter(0.999f, 0.0f)}, 0.0f},
      {{kNaN, 1.0f}, 50.0f},
      {{kInf, 0.0f, 0.0f, 0.0f}, 25.0f},
      {{1.0f, 0.0f, 0.0f}, 1.0f / 3.0f * 100.0f},  // 33.333334 in float
      {{2.0f, -2.0f, 1.5f}, 100.0f},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(clipPct(cases[i].x), cases[i].want);
  }
}

}  // namespace
