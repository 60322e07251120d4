#pragma once

#include <cstdint>
#include <vector>

// Deterministic white noise in [-amplitude, amplitude).
inline std::vector<float> whiteNoise(size_t count, float amplitude, uint64_t seed) {
  std::vector<float> out(count);
  uint64_t state = seed;
  for (float& v : out) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    const float u = static_cast<float>(static_cast<uint32_t>(state >> 32)) * 2.3283064e-10f;
    v = amplitude * (u * 2.0f - 1.0f);
  }
  return out;
}

// out[i] = gain * in[i - delay] (0 where that index does not exist); a
// negative delay makes the output lead the input.
inline std::vector<float> delayed(const std::vector<float>& in, int64_t delay, float gain) {
  std::vector<float> out(in.size(), 0.0f);
  for (int64_t i = 0; i < static_cast<int64_t>(in.size()); ++i) {
    const int64_t j = i - delay;
    if (j >= 0 && j < static_cast<int64_t>(in.size())) out[static_cast<size_t>(i)] = gain * in[static_cast<size_t>(j)];
  }
  return out;
}
