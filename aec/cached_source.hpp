#pragma once

#include <cstdint>
#include <vector>

#include "aec/sample_source.hpp"

// A window of a SampleSource kept in memory for one reader that moves
// forward through the track in small steps (the adaptive filter's blocks):
// the source is read a window at a time instead of once per block. What is
// read never depends on the window's size. One thread at a time.
class CachedSource {
 public:
  static constexpr int64_t kDefaultWindow = int64_t{1} << 16;  // samples

  explicit CachedSource(const SampleSource& source, int64_t window = kDefaultWindow);

  int64_t size() const { return source_.size(); }
  // The samples at ... at + n - 1 (0 outside the track), valid until the
  // next call.
  const float* view(int64_t at, int64_t n);

 private:
  const SampleSource& source_;
  int64_t window_;
  int64_t first_ = 0;  // track position of samples_[0]
  int64_t held_ = 0;   // samples held
  std::vector<float> samples_;
};
