#include "aec/energy_gate.hpp"

#include "aec/aec_constants.hpp"

namespace {

using aec::kBins;

float sumOfEight(const float (&lane)[8]) {
  return ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]));
}

}  // namespace

float frameEnergyInOrder(const float* power) {
  float e = 0.0f;
  for (int64_t k = 1; k <= kBins; ++k) e += power[k];
  for (int64_t k = kBins - 1; k >= 1; --k) e += power[k];  // bins 513 ... 1023
  return e;
}

// The in-order sum takes 1023 dependent additions. Eight running sums give
// an estimate F of the same non-negative terms instead. The in-order sum is
// within a relative 1022 * 2^-24 (6.1e-5) of the exact sum, F within about
// 150 * 2^-24, so when F is more than 0.1 % away from the threshold both lie
// on the same side of it. Otherwise, and when F is not a number, the
// in-order sum decides.
bool frameEnergyAbove(const float* __restrict power, float threshold) {
  float lane[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
  for (int64_t k = 1; k <= kBins; k += 8) {
    for (int64_t j = 0; j < 8; ++j) lane[j] += power[k + j];
  }
  // Bins 1 ... 511 count twice (with their mirrors), bin 512 once.
  const float estimate = sumOfEight(lane) * 2.0f - power[kBins];
  if (estimate * 0.999f > threshold) return true;
  if (estimate * 1.001f < threshold) return false;
  return frameEnergyInOrder(power) > threshold;
}

float energyInOrder(std::span<const float> x) {
  float e = 0.0f;
  for (float v : x) e += v * v;
  return e;
}

// Up to 524,288 dependent additions in order; eight running sums of the same
// squares estimate it. The in-order sum is within a relative count * 2^-24
// (at most 3.2 %) of the exact sum of the (non-negative) squares, the
// estimate within 0.4 %, so when the estimate is more than 10 % away from the
// threshold both lie on the same side. Otherwise, and when the estimate is
// not a number, the in-order sum decides.
bool energyBelow(std::span<const float> x, float threshold) {
  const float* __restrict p = x.data();
  const int64_t count = static_cast<int64_t>(x.size());
  float lane[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
  int64_t i = 0;
  for (; i + 8 <= count; i += 8) {
    for (int64_t j = 0; j < 8; ++j) lane[j] += p[i + j] * p[i + j];
  }
  float estimate = sumOfEight(lane);
  for (; i < count; ++i) estimate += p[i] * p[i];
  if (estimate > threshold * 1.1f) return false;
  if (estimate < threshold * 0.9f) return true;
  return energyInOrder(x) < threshold;
}
