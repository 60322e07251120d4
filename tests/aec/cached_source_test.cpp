#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "aec/cached_source.hpp"
#include "test_signals.hpp"

namespace {

// The filter's reads (two blocks of reference, then the later one again,
// then the microphone's block) through any window read what the source
// holds, 0 outside the track, wherever a read falls against the window's
// ends.
TEST(CachedSource, ViewsReadTheSourceWhateverTheWindow) {
  const std::vector<float> track = whiteNoise(5000, 1.0f, 3);
  const SpanSource source(track);
  for (const int64_t window : {1, 7, 1000, 65536}) {
    SCOPED_TRACE(window);
    CachedSource cache(source, window);
    std::vector<float> truth(2048);
    for (int64_t at = -2500; at < 7000; at += 1024) {
      for (const auto& [first, n] : {std::pair<int64_t, int64_t>{at - 1024, 2048}, {at, 1024}, {at + 3, 1}}) {
        source.read(first, n, truth.data());
        const float* v = cache.view(first, n);
        ASSERT_TRUE(std::equal(v, v + n, truth.begin())) << first;
      }
    }
  }
}

}  // namespace
