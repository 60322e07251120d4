#include "aec/delay_search.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "aec/echo_canceller.hpp"
#include "test_signals.hpp"

namespace {

class BestLag : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(canceller, nullptr); }
  std::optional<int64_t> lag(const std::vector<float>& mic, const std::vector<float>& ref,
                             int64_t at, int64_t window, int64_t center, int64_t radius) {
    return canceller->bestLag(mic, ref, at, window, center, radius);
  }
  std::unique_ptr<EchoCanceller> canceller = EchoCanceller::create();
  const std::vector<float> ref = whiteNoise(200000, 0.3f, 9);
};

constexpr int64_t kBig = std::numeric_limits<int64_t>::max();

}  // namespace

TEST_F(BestLag, FindsKnownDelaysOnlyWithinTheRange) {
  EXPECT_EQ(lag(delayed(ref, 733, 0.6f), ref, 0, 60000, 0, 4000), 733);
  EXPECT_EQ(lag(delayed(ref, -417, 0.5f), ref, 0, 60000, 0, 4000), -417);
  // Two echoes, a strong one at 300 samples and a weaker one at 900.
  std::vector<float> mic = delayed(ref, 300, 0.6f);
  const std::vector<float> weak = delayed(ref, 900, 0.3f);
  for (size_t i = 0; i < mic.size(); ++i) mic[i] += weak[i];
  EXPECT_EQ(lag(mic, ref, 50000, 60000, 0, 4000), 300);
  EXPECT_EQ(lag(mic, ref, 50000, 60000, 900, 100), 900);
  // The edges of the range are included.
  EXPECT_EQ(lag(mic, ref, 50000, 60000, 1000, 100), 900);
  EXPECT_EQ(lag(mic, ref, 50000, 60000, 800, 100), 900);
}

TEST_F(BestLag, QuietEmptyOrUncorrelatedStretchesGiveNothing) {
  EXPECT_EQ(lag(std::vector<float>(120000, 0.0f), ref, 0, 60000, 0, 4000), std::nullopt);
  EXPECT_EQ(lag(whiteNoise(120000, 0.3f, 11), std::vector<float>(120000, 0.0f), 0, 60000, 0, 4000),
            std::nullopt);
  // The reference has RMS 0.3/sqrt(3) = 0.173: at gain 0.005 the echo's mean
  // square is about 7.4e-7, below the threshold of 1e-6; at 0.0065 about
  // 1.26e-6, above it, and the (scale-free) search finds the delay.
  EXPECT_EQ(lag(delayed(ref, 733, 0.005f), ref, 0, 60000, 0, 4000), std::nullopt);
  EXPECT_EQ(lag(delayed(ref, 733, 0.0065f), ref, 0, 60000, 0, 4000), 733);
  // Window 0, and a stretch that lies past the microphone's end.
  const std::vector<float> mic = delayed(ref, 733, 0.6f);
  EXPECT_EQ(lag(mic, ref, 0, 0, 0, 4000), std::nullopt);
  EXPECT_EQ(lag(mic, ref, 250000, 60000, 0, 4000), std::nullopt);
}

TEST_F(BestLag, ExtremeRangesAreClampedNotOverflowed) {
  const std::vector<float> mic = delayed(ref, 733, 0.6f);
  EXPECT_EQ(lag(mic, ref, 0, 60000, 0, kBig), 733);
  EXPECT_EQ(lag(mic, ref, 0, 60000, kBig, kBig), 733);
  // A range entirely beyond what the correlation can tell apart: nothing.
  EXPECT_EQ(lag(mic, ref, 0, 60000, kBig - 10, 5), std::nullopt);
  // A stretch that starts before the tracks: the missing part counts as 0.
  EXPECT_EQ(lag(mic, ref, -20000, 60000, 0, 4000), 733);
}

TEST_F(BestLag, AReferenceThatEndsWithinTheStretchIsZeroPastItsEnd) {
  // The microphone goes on past the reference's end with loud sound of its
  // own: matched against itself that stretch would peak at lag 0.
  const std::vector<float> shortRef(ref.begin(), ref.begin() + 60000);
  std::vector<float> mic = delayed(ref, 500, 0.3f);
  const std::vector<float> talk = whiteNoise(60000, 0.9f, 14);
  std::copy(talk.begin(), talk.end(), mic.begin() + 60000);
  EXPECT_EQ(lag(mic, shortRef, 0, 120000, 0, 4000), 500);
  EXPECT_EQ(lag(mic, shortRef, 30000, 90000, 0, 4000), 500);
}

TEST(PickLag, TiesKeepTheEarlierLagAndNaNNeverWins) {
  StretchCorrelation c;
  c.quiet = false;
  c.stretch = 1000;
  c.rms = 0.0f;
  float* v = c.values();
  const auto at = [&](int64_t lag) -> float& { return v[lag & ((int64_t{1} << 20) - 1)]; };
  at(-5) = -2.0f;  // by magnitude, tied with the two below
  at(10) = 2.0f;
  at(20) = 2.0f;
  at(3) = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(pickLag(c, 0, 30), -5);
  EXPECT_EQ(pickLag(c, 10, 10), 10);
  EXPECT_EQ(pickLag(c, 3, 0), std::nullopt);  // only the NaN: no peak above the threshold
  c.rms = 1.0f;                                // the peak must reach 3 x (rms + 1e-9)
  EXPECT_EQ(pickLag(c, 0, 30), std::nullopt);
  c.quiet = true;
  c.rms = 0.0f;
  EXPECT_EQ(pickLag(c, 0, 30), std::nullopt);
}
