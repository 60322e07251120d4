#pragma once

#include <span>

// The mean of the squares of the samples, (1/n) * sum x[i]^2, as a float;
// 0 for an empty span.
float meanSquare(std::span<const float> samples);

// The same mean over a track handed over in consecutive pieces: the result
// is bit for bit meanSquare() of the whole track, however it was cut.
class MeanSquareAccumulator {
 public:
  void add(std::span<const float> samples);
  float mean() const;

 private:
  double lane_[4] = {0.0, 0.0, 0.0, 0.0};
  size_t count_ = 0;
};

// x[i] = sqrt(x[i]) for every element, correctly rounded as std::sqrt
// (vector instructions where the processor's baseline has them).
void sqrtInPlace(std::span<float> x);
