#pragma once

#include <cstdint>

#include "aec/sample_source.hpp"

// A track brought to another rate as it is read: sample i is exactly
// resampleLinear's sample i of the whole track (the same arithmetic), so a
// long microphone track is resampled without a second copy of it.
class ResampledSource final : public SampleSource {
 public:
  // `length` and the rates as resampledLength gave them for `input`, which
  // must outlive this source.
  ResampledSource(const SampleSource& input, double from, double to, int64_t length)
      : input_(input), ratio_(to / from), length_(length) {}

  int64_t size() const override { return length_; }

 private:
  void readInside(int64_t first, int64_t count, float* dst) const override;

  const SampleSource& input_;
  double ratio_;
  int64_t length_;
};
