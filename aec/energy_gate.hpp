#pragma once

#include <cstdint>
#include <span>

// Energy thresholds of the echo canceller. Each energy is defined as a float
// sum in a fixed order; these functions decide "above" / "below" exactly as
// that in-order sum would, but from a faster estimate wherever the estimate
// is clearly on one side.

// The power spectrum of a 1024-point real frame as bins 0 ... 512 (bin
// 1024 - k has the power of bin k). Its energy is the float sum over bins
// 1 ... 1023 in increasing order.
float frameEnergyInOrder(const float* power);
// frameEnergyInOrder(power) > threshold.
bool frameEnergyAbove(const float* power, float threshold);

// The float sum of x[i]^2 in index order.
float energyInOrder(std::span<const float> x);
// energyInOrder(x) < threshold.
bool energyBelow(std::span<const float> x, float threshold);
