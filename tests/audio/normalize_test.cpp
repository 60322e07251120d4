// The normaliser: its effect on the samples and its console line, byte for
// byte (the em dash, multiplication sign and arrow included).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio/sample_utils.hpp"

namespace {

struct Case {
  const char* why;
  std::vector<float> x;
  float target, maxGain, minPeak;
  std::vector<float> want;
  std::string line;  // the whole of standard error
};

std::vector<Case> cases() {
  const float g19 = 0.95f / 0.5f;
  const float g15 = 1.5f / 0.9f;
  return {
      {"peak 0.5 is raised by 1.9", {0.5f, -0.25f, 0.1f}, 0.95f, 12, 0.002f,
       {0.5f * g19, -0.25f * g19, 0.1f * g19},
       "narup-capture: normalize: peak 0.5000 × gain 1.90 → 0.950\n"},
      {"peak 0.05 is capped at 12", {0.05f, -0.01f}, 0.95f, 12, 0.002f,
       {0.05f * 12.0f, -0.01f * 12.0f},
       "narup-capture: normalize: peak 0.0500 × gain 12.00 → 0.600\n"},
      {"peak 0.001 is below the floor", {0.001f, -0.0005f}, 0.95f, 12, 0.002f,
       {0.001f, -0.0005f},
       "narup-capture: normalize: peak 0.0010 below floor — leaving as-is\n"},
      {"a peak equal to the floor is below it", {-0.002f}, 0.95f, 12, 0.002f, {-0.002f},
       "narup-capture: normalize: peak 0.0020 below floor — leaving as-is\n"},
      {"silence is below the floor", {0.0f, 0.0f}, 0.95f, 12, 0.002f, {0.0f, 0.0f},
       "narup-capture: normalize: peak 0.0000 below floor — leaving as-is\n"},
      {"peak 0.95 already at target", {0.95f, -0.5f}, 0.95f, 12, 0.002f, {0.95f, -0.5f}, ""},
      {"peak 0.9496 within 0.001 of unity", {-0.9496f, 0.1f}, 0.95f, 12, 0.002f,
       {-0.9496f, 0.1f}, ""},
      {"loud track is lowered", {0.0f, -1.9f}, 0.95f, 12, 0.002f, {0.0f, -1.9f * (0.95f / 1.9f)},
       "narup-capture: normalize: peak 1.9000 × gain 0.50 → 0.950\n"},
      {"target above full scale is limited to ±1", {0.5f, -0.9f}, 1.5f, 12, 0.002f,
       {0.5f * g15, -1.0f},
       "narup-capture: normalize: peak 0.9000 × gain 1.67 → 1.000\n"},
      {"empty track says nothing", {}, 0.95f, 12, 0.002f, {}, ""},
  };
}

TEST(NormalizeInPlace, ScalesClampsAndReportsExactly) {
  for (Case c : cases()) {
    SCOPED_TRACE(c.why);
    testing::internal::CaptureStderr();
    normalizeInPlace(c.x, c.target, c.maxGain, c.minPeak);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
    EXPECT_EQ(c.x, c.want);
  }
}

}  // namespace
