#include "aec/cached_source.hpp"

#include <algorithm>

CachedSource::CachedSource(const SampleSource& source, int64_t window)
    : source_(source), window_(std::max<int64_t>(window, 1)) {}

const float* CachedSource::view(int64_t at, int64_t n) {
  if (at < first_ || at - first_ > held_ - n) {
    // The window starts where the reader is: it only moves forward.
    held_ = std::max(window_, n);
    samples_.resize(static_cast<size_t>(held_));
    first_ = at;
    source_.read(first_, held_, samples_.data());
  }
  return samples_.data() + (at - first_);
}
