#include "capture/resampled_source.hpp"

#include <algorithm>
#include <vector>

#include "audio/resample.hpp"

namespace {

// Output samples computed per read of the input.
constexpr int64_t kPiece = 1 << 15;

}  // namespace

void ResampledSource::readInside(int64_t at, int64_t n, float* dst) const {
  const int64_t last = input_.size() - 1;
  std::vector<float> window;
  for (int64_t i0 = at; i0 < at + n; i0 += kPiece) {
    const int64_t i1 = std::min(i0 + kPiece, at + n);
    // The input samples the piece interpolates between: from that of its
    // first output to the one after that of its last, clamped as the
    // interpolation clamps them.
    const int64_t first = std::min(static_cast<int64_t>(static_cast<double>(i0) / ratio_), last);
    const int64_t end = std::min(static_cast<int64_t>(static_cast<double>(i1 - 1) / ratio_) + 1, last) + 1;
    window.resize(static_cast<size_t>(end - first));
    input_.read(first, end - first, window.data());
    const auto sample = [&](int64_t j) { return window[static_cast<size_t>(j - first)]; };
    for (int64_t i = i0; i < i1; ++i) dst[i - at] = resampledSample(sample, i, ratio_, last);
  }
}
