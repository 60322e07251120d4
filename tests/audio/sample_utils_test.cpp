// Resampling, the level measures and the normaliser on the edges of their
// rules: results bit for bit, and the normaliser's line byte for byte.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "audio/sample_utils.hpp"

namespace {

using Track = std::vector<float>;
const float kNaN = std::numeric_limits<float>::quiet_NaN(), kInf = std::numeric_limits<float>::infinity();

TEST(ResampleLinear, FollowsTheRatioOrLeavesTheInputAlone) {
  const Track five = {0.1f, -0.2f, 0.3f, -0.4f, 0.5f}, ramp = {0.0f, 0.1f, 0.2f, 0.3f, 0.4f, 0.5f};
  const float third = static_cast<float>(1.0 / 3.0), twoThirds = static_cast<float>(2.0 / 3.0);
  const std::tuple<Track, double, double, Track> cases[] = {
      // Nothing to do: rates 1 Hz apart or less, not positive or NaN; fewer than two samples out.
      {five, 48000, 48000.5, five}, {five, 48000, 48001, five}, {five, 48001, 48000, five}, {five, 0, 48000, five},
      {five, 48000, 0, five}, {five, -48000, 16000, five}, {five, NAN, 48000, five}, {five, 48000, NAN, five},
      {{0.1f, 0.2f, 0.3f}, 48000, 16000, {0.1f, 0.2f, 0.3f}}, {{0.7f}, 1000, 1500, {0.7f}}, {five, 1e-300, 48000, five},
      {{}, 16000, 48000, {}},
      // Interpolation between neighbours, the end held, the length truncated.
      {{0.0f, 1.0f}, 1000, 2000, {0.0f, 0.5f, 1.0f, 1.0f}}, {ramp, 2000, 1000, {0.0f, 0.2f, 0.4f}},
      {{1.0f, 0.0f, -1.0f, 0.0f, 1.0f}, 2000, 1000, {1.0f, -1.0f}},
      // Positions i/3: the fraction is the float nearest a third; x[a] + (x[b] - x[a]) * frac.
      {{0.2f, 0.7f}, 1000, 3000, {0.2f, 0.2f + 0.5f * third, 0.2f + 0.5f * twoThirds, 0.7f, 0.7f, 0.7f}},
      // Lengths of common pairs; a constant stays exactly constant.
      {Track(44100, 0.25f), 44100, 48000, Track(48000, 0.25f)}, {Track(44100, 0.25f), 48000, 44100, Track(40516, 0.25f)},
      {Track(44100, 0.25f), 16000, 48000, Track(132300, 0.25f)}, {Track(44100, 0.25f), 44100, 44101.5, Track(44101, 0.25f)}};
  for (const auto& [x, from, to, want] : cases)
    EXPECT_EQ(resampleLinear(x, from, to), want) << x.size() << " samples, " << from << " -> " << to;
}

TEST(Levels, PeakAndClippingShareWithNaNPassedOver) {
  const std::tuple<Track, float, float> cases[] = {  // samples, peak, clipping percentage
      {{-0.5f, 0.25f}, 0.5f, 0.0f},  {{}, 0.0f, 0.0f},  {{kNaN, 0.3f}, 0.3f, 0.0f},  {{0.3f, kNaN, -0.7f}, 0.7f, 0.0f},
      {{kNaN}, 0.0f, 0.0f},  {{-kInf, 0.5f}, kInf, 50.0f},  {{1.0f, -0.9995f, 0.5f, 0.0f}, 1.0f, 50.0f},
      {{0.999f}, 0.999f, 100.0f},  {{-0.999f}, 0.999f, 100.0f},  {{std::nextafter(0.999f, 0.0f)}, std::nextafter(0.999f, 0.0f), 0.0f},
      {{kNaN, 1.0f}, 1.0f, 50.0f},  {{1.0f, 0.0f, 0.0f}, 1.0f, 1.0f / 3.0f * 100.0f}};  // 33.333334 in float
  for (const auto& [x, wantPeak, wantClip] : cases) {
    EXPECT_EQ(peak(x), wantPeak) << x.size() << " samples from " << (x.empty() ? 0.0f : x[0]);
    EXPECT_EQ(clipPct(x), wantClip) << x.size() << " samples from " << (x.empty() ? 0.0f : x[0]);
  }
}

// Long tracks take the four-lane path: each rule checked against one plain
// pass, with the largest sample in a lane, in the tail, and the tracks cut
// in uneven pieces; a NaN (at 5) follows the largest sample in its lane.
TEST(Levels, LongTracksAndPiecesAgreeWithOnePlainPass) {
  Track x(1003), y(1003);
  for (size_t i = 0; i < x.size(); ++i) {
    x[i] = static_cast<float>(static_cast<int>(i * 37 % 201) - 100) / 100.5f;
    y[i] = static_cast<float>(static_cast<int>(i * 53 % 199) - 99) / 150.0f;
  }
  x[5] = kNaN, x[6] = 0.999f, x[7] = -0.999f, x[500] = std::nextafter(0.999f, 0.0f), x[1001] = kNaN;
  for (const auto& [at, value] : {std::pair<size_t, float>{1002, -1.25f}, {1, 1.5f}, {3, -kInf}}) {
    Track t = x;
    t[at] = value;
    float wantPeak = 0.0f, wantMix = 0.0f;
    uint64_t wantClipped = 0;
    for (size_t i = 0; i < t.size(); ++i) {
      if (std::fabs(t[i]) > wantPeak) wantPeak = std::fabs(t[i]);
      if (std::fabs(t[i] + y[i]) > wantMix) wantMix = std::fabs(t[i] + y[i]);
      if (std::fabs(t[i]) >= 0.999f) ++wantClipped;
    }
    EXPECT_EQ(peak(t), wantPeak) << "largest at " << at;
    EXPECT_EQ(clipPct(t), clipPercent(wantClipped, t.size())) << "largest at " << at;
    LevelTally pieces;
    float mixPeak = 0.0f;
    for (size_t from = 0, n = 1; from < t.size(); from += n, n = n * 3 + 2) {
      const size_t count = std::min(n, t.size() - from);
      pieces.add(std::span<const float>(t.data() + from, count));
      addSumToPeak(mixPeak, t.data() + from, y.data() + from, count);
    }
    EXPECT_EQ(pieces.peak, wantPeak) << "largest at " << at;
    EXPECT_EQ(pieces.clipped, wantClipped) << "largest at " << at;
    EXPECT_EQ(mixPeak, wantMix) << "largest at " << at;
  }
}

TEST(NormalizeInPlace, ScalesClampsAndReportsExactly) {
  const float g19 = 0.95f / 0.5f, g15 = 1.5f / 0.9f;
  const std::string p = "narup-capture: normalize: peak ", floor = " below floor — leaving as-is\n";
  std::tuple<Track, float, Track, std::string> cases[] = {  // samples, target, result, all of standard error
      {{0.5f, -0.25f, 0.1f}, 0.95f, {0.5f * g19, -0.25f * g19, 0.1f * g19}, p + "0.5000 × gain 1.90 → 0.950\n"},
      {{0.05f, -0.01f}, 0.95f, {0.05f * 12.0f, -0.01f * 12.0f}, p + "0.0500 × gain 12.00 → 0.600\n"},  // capped
      {{0.001f, -0.0005f}, 0.95f, {0.001f, -0.0005f}, p + "0.0010" + floor},
      {{-0.002f}, 0.95f, {-0.002f}, p + "0.0020" + floor},  // a peak at the floor is below it
      {{0.95f, -0.5f}, 0.95f, {0.95f, -0.5f}, ""},  {{-0.9496f, 0.1f}, 0.95f, {-0.9496f, 0.1f}, ""},  // gain within 0.001 of 1
      {{0.0f, -1.9f}, 0.95f, {0.0f, -1.9f * (0.95f / 1.9f)}, p + "1.9000 × gain 0.50 → 0.950\n"},
      {{0.5f, -0.9f}, 1.5f, {0.5f * g15, -1.0f}, p + "0.9000 × gain 1.67 → 1.000\n"},  // limited to ±1
      {{}, 0.95f, {}, ""}};
  for (auto& [x, target, want, line] : cases) {
    SCOPED_TRACE(line);
    testing::internal::CaptureStderr();
    normalizeInPlace(x, target, 12.0f, 0.002f);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), line);
    EXPECT_EQ(x, want);
  }
}

// The four-lane path and its tail: the limits, a NaN and a signed zero kept.
TEST(NormalizeInPlace, LongTracksKeepEverySamplesRule) {
  const float g = 1.5f / 0.7f;
  Track x = {0.3f, -0.6f, kNaN, 0.1f, 0.55f, -0.7f, 0.0f, -0.0f, 0.45f, kNaN, -0.52f};
  const Track want = {0.3f * g, -1.0f, kNaN, 0.1f * g, 1.0f, -1.0f, 0.0f, -0.0f, 0.45f * g, kNaN, -1.0f};
  testing::internal::CaptureStderr();
  normalizeInPlace(x, 1.5f, 12.0f, 0.002f);
  testing::internal::GetCapturedStderr();
  for (size_t i = 0; i < x.size(); ++i)
    EXPECT_EQ(std::bit_cast<uint32_t>(x[i]), std::bit_cast<uint32_t>(want[i])) << "sample " << i;
}

}  // namespace
