#include "aec/energy_gate.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "test_signals.hpp"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Thresholds on both sides of `e`, from far away to the neighbouring floats.
std::vector<float> thresholdsAround(float e) {
  std::vector<float> t{e, std::nextafter(e, 0.0f), std::nextafter(e, 1e30f)};
  for (float r : {1e-6f, 6e-5f, 1e-4f, 1e-3f, 2e-3f, 0.05f, 0.1f, 0.2f, 1.0f}) t.insert(t.end(), {e * (1 + r), e * (1 - r)});
  return t;
}

}  // namespace

TEST(FrameEnergy, InOrderSumOfTheMirroredSpectrumDecidesEveryThreshold) {
  for (uint64_t seed = 1; seed <= 40; ++seed) {
    // Flat, one dominant bin, steep slope.
    const std::vector<float> u = whiteNoise(513, 1.0f, seed);
    std::vector<float> shapes[3] = {u, u, u};
    for (size_t k = 0; k < 513; ++k) {
      shapes[0][k] = u[k] * u[k] * 1e-5f;
      shapes[1][k] = (k == seed * 7 % 513 ? 1.0f : 1e-9f) * std::fabs(u[k]);
      shapes[2][k] = std::fabs(u[k]) * std::pow(10.0f, -static_cast<float>(k) / 64.0f);
    }
    for (std::vector<float>& power : shapes) {
      power[0] = 1e30f;  // bin 0 never counts
      float e = 0.0f;    // bins 1 ... 1023 in order, the upper ones mirrored
      for (size_t k = 1; k < 1024; ++k) e += power[k <= 512 ? k : 1024 - k];
      ASSERT_EQ(frameEnergyInOrder(power.data()), e);
      for (float t : thresholdsAround(e)) ASSERT_EQ(frameEnergyAbove(power.data(), t), e > t) << t;
    }
  }
  std::vector<float> power(513, 1e-6f);
  power[512] = kInf;
  EXPECT_TRUE(frameEnergyAbove(power.data(), 0.001f));
  power[7] = kNaN;
  EXPECT_FALSE(frameEnergyAbove(power.data(), 0.001f));
}

TEST(StretchEnergy, BelowDecidesExactlyAsTheInOrderSum) {
  for (size_t length : {1u, 7u, 8u, 1001u, 60000u, 524288u}) {
    SCOPED_TRACE(length);
    const std::vector<float> x = whiteNoise(length, 0.01f, length);
    float e = 0.0f;
    for (float v : x) e += v * v;
    ASSERT_EQ(energyInOrder(x), e);
    for (float t : thresholdsAround(e)) ASSERT_EQ(energyBelow(x, t), e < t) << t;
  }
  EXPECT_FALSE(energyBelow({}, 0.0f));  // 0 < 0 is false
  for (float bad : {kNaN, kInf}) {
    std::vector<float> x(1000, 0.1f);
    x[500] = bad;
    EXPECT_FALSE(energyBelow(x, 1e30f));
  }
}
