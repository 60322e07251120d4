#include "aec/energy_gate.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "test_signals.hpp"

namespace {

// Power spectra of several shapes: flat, one dominant bin, steep slope.
std::vector<std::vector<float>> spectra() {
  std::vector<std::vector<float>> out;
  for (uint64_t seed = 1; seed <= 40; ++seed) {
    const std::vector<float> u = whiteNoise(513, 1.0f, seed);
    std::vector<float> flat(513), peaked(513), sloped(513);
    for (size_t k = 0; k < 513; ++k) {
      flat[k] = u[k] * u[k] * 1e-5f;
      peaked[k] = (k == seed * 7 % 513 ? 1.0f : 1e-9f) * std::fabs(u[k]);
      sloped[k] = std::fabs(u[k]) * std::pow(10.0f, -static_cast<float>(k) / 64.0f);
    }
    out.push_back(flat);
    out.push_back(peaked);
    out.push_back(sloped);
  }
  return out;
}

// Thresholds on both sides of `e`, from far away to the neighbouring floats.
std::vector<float> thresholdsAround(float e) {
  std::vector<float> t{e, std::nextafter(e, 0.0f), std::nextafter(e, 1e30f)};
  for (float r : {1e-6f, 1e-5f, 6e-5f, 1e-4f, 5e-4f, 1e-3f, 2e-3f, 1e-2f, 0.05f, 0.1f, 0.2f, 1.0f}) {
    t.push_back(e * (1.0f + r));
    t.push_back(e * (1.0f - r));
  }
  return t;
}

}  // namespace

TEST(FrameEnergy, SumsBinsOneToTenTwentyThreeInOrder) {
  const std::vector<float> half = whiteNoise(513, 1.0f, 99);
  std::vector<float> power(513);
  for (size_t k = 0; k < 513; ++k) power[k] = half[k] * half[k];
  // The full spectrum written out, mirror bins included; bin 0 is left out.
  std::vector<float> full(1024);
  for (size_t k = 0; k <= 512; ++k) full[k] = power[k];
  for (size_t k = 513; k < 1024; ++k) full[k] = power[1024 - k];
  float e = 0.0f;
  for (size_t k = 1; k < 1024; ++k) e += full[k];
  EXPECT_EQ(frameEnergyInOrder(power.data()), e);
  power[0] = 1e30f;  // bin 0 never counts
  EXPECT_EQ(frameEnergyInOrder(power.data()), e);
}

TEST(FrameEnergy, AboveDecidesExactlyAsTheInOrderSum) {
  for (const std::vector<float>& power : spectra()) {
    const float e = frameEnergyInOrder(power.data());
    for (float t : thresholdsAround(e)) {
      ASSERT_EQ(frameEnergyAbove(power.data(), t), e > t) << "e=" << e << " t=" << t;
    }
  }
}

TEST(FrameEnergy, NonFiniteBins) {
  std::vector<float> power(513, 1e-6f);
  power[300] = std::numeric_limits<float>::infinity();
  EXPECT_TRUE(frameEnergyAbove(power.data(), 0.001f));
  power[512] = std::numeric_limits<float>::infinity();
  EXPECT_TRUE(frameEnergyAbove(power.data(), 0.001f));
  power[7] = std::numeric_limits<float>::quiet_NaN();
  EXPECT_FALSE(frameEnergyAbove(power.data(), 0.001f));
}

TEST(StretchEnergy, BelowDecidesExactlyAsTheInOrderSum) {
  for (size_t length : {1u, 7u, 8u, 1001u, 60000u, 524288u}) {
    SCOPED_TRACE(length);
    const std::vector<float> x = whiteNoise(length, 0.01f, length);
    float e = 0.0f;
    for (float v : x) e += v * v;
    ASSERT_EQ(energyInOrder(x), e);
    for (float t : thresholdsAround(e)) {
      ASSERT_EQ(energyBelow(x, t), e < t) << "e=" << e << " t=" << t;
    }
  }
}

TEST(StretchEnergy, EmptyZeroAndNonFinite) {
  EXPECT_FALSE(energyBelow({}, 0.0f));  // 0 < 0 is false
  const std::vector<float> zeros(1000, 0.0f);
  EXPECT_TRUE(energyBelow(zeros, 0.001f));
  std::vector<float> x(1000, 0.1f);
  x[500] = std::numeric_limits<float>::quiet_NaN();
  EXPECT_FALSE(energyBelow(x, 1e30f));
  x[500] = std::numeric_limits<float>::infinity();
  EXPECT_FALSE(energyBelow(x, 1e30f));
}
