#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <vector>

#include "aec/echo_canceller.hpp"
#include "test_signals.hpp"

namespace {

class BestLag : public ::testing::Test {
 protected:
  void SetUp() override {
    canceller = EchoCanceller::create();
    ASSERT_NE(canceller, nullptr);
  }
  std::unique_ptr<EchoCanceller> canceller;
};

}  // namespace

TEST_F(BestLag, FindsAKnownDelay) {
  const std::vector<float> ref = whiteNoise(120000, 0.3f, 7);
  const std::vector<float> mic = delayed(ref, 733, 0.6f);
  EXPECT_EQ(canceller->bestLag(mic, ref, 0, 60000, 0, 4000), 733);
}

TEST_F(BestLag, AMicrophoneThatLeadsGivesANegativeLag) {
  const std::vector<float> ref = whiteNoise(120000, 0.3f, 8);
  const std::vector<float> mic = delayed(ref, -417, 0.5f);
  EXPECT_EQ(canceller->bestLag(mic, ref, 0, 60000, 0, 4000), -417);
}

TEST_F(BestLag, SearchesFromAtAndOnlyWithinTheRange) {
  // Two echoes, a strong one at 300 samples and a weaker one at 900.
  const std::vector<float> ref = whiteNoise(200000, 0.3f, 9);
  std::vector<float> mic = delayed(ref, 300, 0.6f);
  const std::vector<float> weak = delayed(ref, 900, 0.3f);
  for (size_t i = 0; i < mic.size(); ++i) mic[i] += weak[i];
  EXPECT_EQ(canceller->bestLag(mic, ref, 50000, 60000, 0, 4000), 300);
  EXPECT_EQ(canceller->bestLag(mic, ref, 50000, 60000, 900, 100), 900);
  // The edges of the range are included.
  EXPECT_EQ(canceller->bestLag(mic, ref, 50000, 60000, 1000, 100), 900);
  EXPECT_EQ(canceller->bestLag(mic, ref, 50000, 60000, 800, 100), 900);
}

TEST_F(BestLag, QuietOrEmptyStretchesGiveNothing) {
  const std::vector<float> ref = whiteNoise(120000, 0.3f, 10);
  const std::vector<float> zeros(120000, 0.0f);
  EXPECT_EQ(canceller->bestLag(zeros, ref, 0, 60000, 0, 4000), std::nullopt);
  // The reference has RMS 0.3/sqrt(3) = 0.173: at gain 0.005 the echo's mean
  // square is about 7.4e-7, below the threshold of 1e-6; at 0.0065 about
  // 1.26e-6, above it, and the (scale-free) search finds the delay.
  const std::vector<float> quiet = delayed(ref, 733, 0.005f);
  EXPECT_EQ(canceller->bestLag(quiet, ref, 0, 60000, 0, 4000), std::nullopt);
  const std::vector<float> audible = delayed(ref, 733, 0.0065f);
  EXPECT_EQ(canceller->bestLag(audible, ref, 0, 60000, 0, 4000), 733);
  // Window 0, and a stretch that lies past the microphone's end.
  const std::vector<float> mic = delayed(ref, 733, 0.6f);
  EXPECT_EQ(canceller->bestLag(mic, ref, 0, 0, 0, 4000), std::nullopt);
  EXPECT_EQ(canceller->bestLag(mic, ref, 200000, 60000, 0, 4000), std::nullopt);
}

TEST_F(BestLag, AnAllZeroReferenceGivesNothing) {
  const std::vector<float> mic = whiteNoise(120000, 0.3f, 11);
  const std::vector<float> zeros(120000, 0.0f);
  EXPECT_EQ(canceller->bestLag(mic, zeros, 0, 60000, 0, 4000), std::nullopt);
}

TEST_F(BestLag, ExtremeRangesAreClampedNotOverflowed) {
  const std::vector<float> ref = whiteNoise(120000, 0.3f, 12);
  const std::vector<float> mic = delayed(ref, 733, 0.6f);
  const int64_t big = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(canceller->bestLag(mic, ref, 0, 60000, 0, big), 733);
  EXPECT_EQ(canceller->bestLag(mic, ref, 0, 60000, big, big), 733);
  // A range entirely beyond what the correlation can tell apart: nothing.
  EXPECT_EQ(canceller->bestLag(mic, ref, 0, 60000, big - 10, 5), std::nullopt);
  // A stretch that starts before the tracks: the missing part counts as 0.
  EXPECT_EQ(canceller->bestLag(mic, ref, -20000, 60000, 0, 4000), 733);
}

TEST_F(BestLag, AReferenceThatEndsWithinTheStretchIsZeroPastItsEnd) {
  // The microphone goes on past the reference's end with loud sound of its
  // own. The search must see the reference as zeros there, never as
  // microphone samples: matched against itself that loud stretch would put
  // the strongest peak at lag 0.
  const std::vector<float> ref = whiteNoise(60000, 0.3f, 13);
  std::vector<float> refPadded = ref;
  refPadded.resize(120000, 0.0f);
  std::vector<float> mic = delayed(refPadded, 500, 0.3f);
  const std::vector<float> talk = whiteNoise(60000, 0.9f, 14);
  std::copy(talk.begin(), talk.end(), mic.begin() + 60000);
  EXPECT_EQ(canceller->bestLag(mic, ref, 0, 120000, 0, 4000), 500);
  EXPECT_EQ(canceller->bestLag(mic, ref, 0, 120000, 0, 4000),
            canceller->bestLag(mic, refPadded, 0, 120000, 0, 4000));
  // The same from a later start, where less of the reference is left.
  EXPECT_EQ(canceller->bestLag(mic, ref, 30000, 90000, 0, 4000), 500);
}
