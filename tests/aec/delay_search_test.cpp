#include "aec/delay_search.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "aec/echo_canceller.hpp"
#include "test_signals.hpp"

TEST(BestLag, KnownDelaysWithinTheRangeNothingWhereNothingStandsOut) {
  constexpr int64_t kBig = std::numeric_limits<int64_t>::max();
  const std::vector<float> ref = whiteNoise(200000, 0.3f, 9);
  const std::vector<float> echo = delayed(ref, 733, 0.6f), zeros(200000, 0.0f);
  // A strong echo at 300 samples and a weaker one at 900.
  std::vector<float> two = delayed(ref, 300, 0.6f);
  const std::vector<float> weak = delayed(ref, 900, 0.3f);
  for (size_t i = 0; i < two.size(); ++i) two[i] += weak[i];
  // The microphone goes on past a short reference's end with loud sound of
  // its own: matched against itself that stretch would peak at lag 0.
  const std::vector<float> shortRef(ref.begin(), ref.begin() + 60000);
  std::vector<float> talkAfter = delayed(ref, 500, 0.3f);
  const std::vector<float> talk = whiteNoise(60000, 0.9f, 14);
  std::copy(talk.begin(), talk.end(), talkAfter.begin() + 60000);
  // The reference has RMS 0.173: an echo at gain 0.005 has a mean square of
  // about 7.4e-7, below the threshold of 1e-6; at 0.0065 about 1.26e-6.
  const std::vector<float> quiet = delayed(ref, 733, 0.005f), audible = delayed(ref, 733, 0.0065f);
  struct Row {
    const char* name;
    const std::vector<float>& mic;
    const std::vector<float>& ref;
    int64_t at, window, center, radius;
    std::optional<int64_t> want;
  };
  const std::vector<float> leads = delayed(ref, -417, 0.5f);
  const Row rows[] = {
      {"known delay", echo, ref, 0, 60000, 0, 4000, 733},
      {"microphone leads", leads, ref, 0, 60000, 0, 4000, -417},
      {"strongest", two, ref, 50000, 60000, 0, 4000, 300},
      {"around the weaker", two, ref, 50000, 60000, 900, 100, 900},
      {"range's upper edge", two, ref, 50000, 60000, 800, 100, 900},
      {"range's lower edge", two, ref, 50000, 60000, 1000, 100, 900},
      {"zero microphone", zeros, ref, 0, 60000, 0, 4000, std::nullopt},
      {"zero reference", two, zeros, 0, 60000, 0, 4000, std::nullopt},
      {"too quiet", quiet, ref, 0, 60000, 0, 4000, std::nullopt},
      {"just audible", audible, ref, 0, 60000, 0, 4000, 733},
      {"window 0", echo, ref, 0, 0, 0, 4000, std::nullopt},
      {"past the end", echo, ref, 250000, 60000, 0, 4000, std::nullopt},
      {"before the start", echo, ref, -20000, 60000, 0, 4000, 733},
      {"huge radius", echo, ref, 0, 60000, 0, kBig, 733},
      {"huge centre", echo, ref, 0, 60000, kBig, kBig, 733},
      {"beyond what the correlation holds", echo, ref, 0, 60000, kBig - 10, 5, std::nullopt},
      {"reference ends", talkAfter, shortRef, 0, 120000, 0, 4000, 500},
      {"reference ends, later start", talkAfter, shortRef, 30000, 90000, 0, 4000, 500},
  };
  auto c = EchoCanceller::create();
  for (const Row& r : rows) {
    EXPECT_EQ(c->bestLag(r.mic, r.ref, r.at, r.window, r.center, r.radius), r.want) << r.name;
  }
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
