#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <vector>

#include "aec/adaptive_canceller.hpp"
#include "aec/adaptive_segments.hpp"
#include "test_signals.hpp"
#include "aec/adaptive_filter.hpp"
#include "aec/dft.hpp"

namespace {

constexpr double kRate = 48000.0;
constexpr int64_t kTaps = 12000;  // 250 ms at 48 kHz

std::vector<float> noise(size_t n, float amplitude, uint64_t seed) {
  return whiteNoise(n, amplitude, seed);
}

// A random echo path: a unit direct path and a tail decaying 60 dB over its
// 250 ms, as much reverberant energy as direct (the tail drawn from `seed`).
std::vector<float> echoPath(uint64_t seed = 7) {
  std::vector<float> h = noise(kTaps, 1.0f, seed);
  double energy = 0.0;
  for (int64_t n = 0; n < kTaps; ++n) {
    h[static_cast<size_t>(n)] *= static_cast<float>(std::pow(10.0, -3.0 * n / kTaps));
    energy += h[static_cast<size_t>(n)] * h[static_cast<size_t>(n)];
  }
  for (float& v : h) v /= static_cast<float>(std::sqrt(energy));
  h[0] = 1.0f;
  return h;
}

// x convolved with h, x's length (overlap-add with FFTW, double-checked by
// the filter having to find h in it).
std::vector<float> convolve(const std::vector<float>& x, const std::vector<float>& h) {
  constexpr int64_t kN = 32768;
  constexpr int64_t kBlock = kN / 2;
  auto fwd = fftwDftFactory().create(kN, DftDirection::kForward);
  auto inv = fftwDftFactory().create(kN, DftDirection::kInverse);
  std::vector<float> buf(kN, 0.0f);
  std::vector<float> out(x.size() + kN, 0.0f);
  std::vector<std::complex<float>> H(kN / 2 + 1), X(kN / 2 + 1);
  std::copy(h.begin(), h.end(), buf.begin());
  fwd->forwardReal(buf.data(), H.data());
  for (size_t at = 0; at < x.size(); at += kBlock) {
    std::fill(buf.begin(), buf.end(), 0.0f);
    for (size_t i = 0; i < kBlock && at + i < x.size(); ++i) buf[i] = x[at + i];
    fwd->forwardReal(buf.data(), X.data());
    for (size_t k = 0; k < X.size(); ++k) X[k] *= H[k] / static_cast<float>(kN);
    inv->inverseHermitian(X.data(), buf.data());
    for (size_t i = 0; i < kN; ++i) out[at + i] += buf[i];
  }
  out.resize(x.size());
  return out;
}

double energy(const std::vector<float>& x, size_t from, size_t to) {
  double e = 0.0;
  for (size_t i = from; i < to; ++i) e += static_cast<double>(x[i]) * x[i];
  return e;
}

// 10 log10 of |h - estimate|^2 / |h|^2, the estimate read from the filter's
// taps at the direct path's position.
double misadjustmentDb(PartitionedEchoFilter& filter, const std::vector<float>& h) {
  const std::vector<float> w = filter.impulseResponse();
  double err = 0.0, ref = 0.0;
  for (int64_t n = 0; n < static_cast<int64_t>(w.size()); ++n) {
    const int64_t tap = n - PartitionedEchoFilter::kLead;
    const double truth = (tap >= 0 && tap < kTaps) ? h[static_cast<size_t>(tap)] : 0.0;
    err += (w[static_cast<size_t>(n)] - truth) * (w[static_cast<size_t>(n)] - truth);
    ref += truth * truth;
  }
  return 10.0 * std::log10(err / ref);
}

struct Room {
  std::vector<float> far;
  std::vector<float> echo;
};

Room room(size_t n, int64_t delay) {
  Room r;
  r.far = noise(n, 0.3f, 1);
  std::vector<float> shifted(n, 0.0f);
  for (size_t i = static_cast<size_t>(delay); i < n; ++i) shifted[i] = r.far[i - static_cast<size_t>(delay)];
  r.echo = convolve(shifted, echoPath());
  for (float& v : r.echo) v *= 0.5f;
  return r;
}

TEST(AdaptiveFilter, IdentifiesAKnownEchoPathAndHoldsItThroughDoubleTalk) {
  constexpr int64_t kDelay = 960;
  const size_t n = static_cast<size_t>(kRate * 8);
  Room r = room(n, kDelay);
  std::vector<float> h = echoPath();
  for (float& v : h) v *= 0.5f;
  auto filter = PartitionedEchoFilter::create(fftwDftFactory());
  ASSERT_TRUE(filter);
  const std::vector<DelaySeg> track{{0, kDelay}};
  filter->run(r.echo, r.far, track, static_cast<int64_t>(n), nullptr);
  const double learned = misadjustmentDb(*filter, h);
  EXPECT_LT(learned, -30.0);

  // Ten seconds of a near end as loud as the echo, on top of it.
  const size_t m = static_cast<size_t>(kRate * 10);
  Room talk = room(m, kDelay);
  const std::vector<float> near = noise(m, 0.15f, 99);
  std::vector<float> mic(m);
  for (size_t i = 0; i < m; ++i) mic[i] = talk.echo[i] + near[i];
  std::vector<float> error;
  filter->run(mic, talk.far, track, static_cast<int64_t>(m),
              [&](std::span<const float> e, std::span<const float>) { error.insert(error.end(), e.begin(), e.end()); });
  EXPECT_LT(misadjustmentDb(*filter, h), -20.0) << "after double talk, learned " << learned;
  // What is left besides the near end stays far below the echo.
  std::vector<float> residual(m);
  for (size_t i = 0; i < m; ++i) residual[i] = error[i] - near[i];
  const size_t lastSecond = m - static_cast<size_t>(kRate);
  EXPECT_LT(10.0 * std::log10(energy(residual, lastSecond, m) / energy(talk.echo, lastSecond, m)), -20.0);
}

TEST(AdaptiveFilter, FollowsTheDelayTrackWhenTheEchoPathMoves) {
  // The path moves 20 ms later at 8 s; the delay track moves with it, or
  // only at 12 s (after the filter has had to follow by itself).
  const size_t n = static_cast<size_t>(kRate * 20);
  const size_t move = static_cast<size_t>(kRate * 8);
  const Room before = room(n, 960);
  const Room after = room(n, 1920);
  std::vector<float> mic(before.echo.begin(), before.echo.begin() + static_cast<long>(move));
  mic.insert(mic.end(), after.echo.begin() + static_cast<long>(move), after.echo.end());
  // Just after the track moves, the filter must carry on from what it had
  // (both when it is aligned already and when it must be shifted): a wrong
  // alignment would put the error back near the echo's level.
  const struct {
    int64_t trackMoves;   // seconds
    double justAfterDb;   // error level the second after that, at most
  } cases[] = {{8, -40.0}, {12, -10.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.trackMoves);
    auto filter = PartitionedEchoFilter::create(fftwDftFactory());
    ASSERT_TRUE(filter);
    const std::vector<DelaySeg> track{{0, 960}, {c.trackMoves * static_cast<int64_t>(kRate), 1920}};
    std::vector<float> error;
    filter->run(mic, before.far, track, static_cast<int64_t>(n),
                [&](std::span<const float> e, std::span<const float>) { error.insert(error.end(), e.begin(), e.end()); });
    const auto levelDb = [&](size_t from, size_t to) {
      return 10.0 * std::log10(energy(error, from, to) / energy(mic, from, to));
    };
    const size_t after1 = static_cast<size_t>(kRate) * static_cast<size_t>(c.trackMoves + 1);
    EXPECT_LT(levelDb(after1, after1 + static_cast<size_t>(kRate)), c.justAfterDb);
    EXPECT_LT(levelDb(n - static_cast<size_t>(kRate * 2), n), -25.0);
  }
}

TEST(AdaptiveCanceller, RemovesTheEchoAndLeavesANearEndAloneUntouched) {
  // Far end for 6 s, then silence; the near end talks alone from 7 s on.
  const size_t n = static_cast<size_t>(kRate * 10);
  const size_t farEnd = static_cast<size_t>(kRate * 6);
  Room r = room(n, 1920);
  std::fill(r.far.begin() + static_cast<long>(farEnd), r.far.end(), 0.0f);
  r.echo = convolve(std::vector<float>(r.far.begin(), r.far.end()), echoPath());
  std::vector<float> shifted(n, 0.0f);
  for (size_t i = 1920; i < n; ++i) shifted[i] = r.echo[i - 1920] * 0.5f;
  const std::vector<float> near = noise(n, 0.1f, 5);
  std::vector<float> mic(n);
  for (size_t i = 0; i < n; ++i) mic[i] = shifted[i] + (i >= farEnd + static_cast<size_t>(kRate) ? near[i] : 0.0f);
  const std::optional<AdaptiveResult> out = cancelEchoAdaptive(mic, r.far, kRate);
  ASSERT_TRUE(out);
  ASSERT_EQ(out->track.size(), n);
  EXPECT_TRUE(out->stats.applied);
  // Echo only, after the first second: well cancelled.
  const size_t s1 = static_cast<size_t>(kRate);
  EXPECT_LT(10.0 * std::log10(energy(out->track, s1, farEnd) / energy(mic, s1, farEnd)), -30.0);
  // Near end alone: passes as it came in.
  const size_t s7 = farEnd + static_cast<size_t>(kRate);
  std::vector<float> diff(n);
  for (size_t i = 0; i < n; ++i) diff[i] = out->track[i] - mic[i];
  EXPECT_LT(10.0 * std::log10(energy(diff, s7, n) / energy(mic, s7, n)), -40.0);
}

TEST(AdaptiveFilter, HoldsTheEchoThroughDoubleTalkWhileTheMicrophonesClockDrifts) {
  // The far end is a sum of tones, so that the microphone's clock (100 ppm
  // fast: the delay grows 1.2 ms over the 12 s) can sample it exactly
  // between the reference's samples. The near end talks over the last 6 s,
  // when the delay slides another 29 samples: a filter that held its weights
  // on the reference's clock would lose the echo.
  constexpr double kDrift = 100e-6;
  constexpr int64_t kDelay = 960;
  const size_t n = static_cast<size_t>(kRate * 12);
  const std::vector<float> phase = noise(16, 3.0f, 11);
  const auto far = [&](double t) {
    double v = 0.0;
    for (size_t k = 0; k < phase.size(); ++k) v += std::sin((0.04 + 0.14 * static_cast<double>(k) + 0.003 * std::sin(static_cast<double>(k))) * t + phase[k]);
    return static_cast<float>(v * 0.08);
  };
  std::vector<float> reference(n), echo(n), mic(n), error;
  const std::vector<float> near = noise(n, 0.1f, 12);
  for (size_t t = 0; t < n; ++t) {
    reference[t] = far(static_cast<double>(t));
    echo[t] = 0.5f * far(static_cast<double>(t) * (1.0 - kDrift) - kDelay);
    mic[t] = echo[t] + (t >= static_cast<size_t>(kRate * 6) ? near[t] : 0.0f);
  }
  // The delay track: whole samples per 2 s segment, at the segment's middle.
  std::vector<DelaySeg> track;
  for (int64_t s = 0; s < static_cast<int64_t>(n); s += 2 * static_cast<int64_t>(kRate)) {
    track.push_back({s, std::llround(kDelay + kDrift * (static_cast<double>(s) + kRate))});
  }
  auto filter = PartitionedEchoFilter::create(fftwDftFactory());
  ASSERT_TRUE(filter);
  filter->run(mic, reference, track, static_cast<int64_t>(n),
              [&](std::span<const float> e, std::span<const float>) { error.insert(error.end(), e.begin(), e.end()); });
  std::vector<float> residual(n);
  for (size_t i = 0; i < n; ++i) residual[i] = error[i] - (mic[i] - echo[i]);
  const size_t lastSecond = n - static_cast<size_t>(kRate);
  EXPECT_LT(10.0 * std::log10(energy(residual, lastSecond, n) / energy(echo, lastSecond, n)), -20.0);
}

TEST(AdaptiveCanceller, CatchesUpWithAnEchoPathWhoseTailChanges) {
  // At 6 s the room's tail changes (the direct path stays): within two
  // seconds the output is back far below the microphone.
  const size_t n = static_cast<size_t>(kRate * 9);
  const size_t change = static_cast<size_t>(kRate * 6);
  const Room r = room(n, 1920);
  std::vector<float> shifted(n, 0.0f);
  for (size_t i = 1920; i < n; ++i) shifted[i] = r.far[i - 1920] * 0.5f;
  const std::vector<float> later = convolve(shifted, echoPath(8));
  std::vector<float> mic(r.echo.begin(), r.echo.begin() + static_cast<long>(change));
  mic.insert(mic.end(), later.begin() + static_cast<long>(change), later.end());
  const std::optional<AdaptiveResult> out = cancelEchoAdaptive(mic, r.far, kRate);
  ASSERT_TRUE(out);
  const size_t from = change + static_cast<size_t>(kRate * 2);
  EXPECT_LT(10.0 * std::log10(energy(out->track, from, n) / energy(mic, from, n)), -25.0);
}

TEST(AdaptiveCanceller, SilenceInSilenceOut) {
  const std::vector<float> zeros(48000, 0.0f);
  const std::optional<AdaptiveResult> out = cancelEchoAdaptive(zeros, zeros, kRate);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->track, zeros);
}

TEST(AdaptiveCanceller, ReturnsTheMicrophoneUnchangedLikeTheDefaultCanceller) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> withNan = noise(48000, 0.3f, 3);
  withNan[20000] = nan;
  struct Case {
    const char* name;
    std::vector<float> mic;
    std::vector<float> ref;
    double rate;
    bool ran;
  } cases[] = {
      {"short microphone", noise(1023, 0.3f, 1), noise(48000, 0.3f, 2), kRate, false},
      {"short reference", noise(48000, 0.3f, 1), noise(1023, 0.3f, 2), kRate, false},
      {"zero rate", noise(4096, 0.3f, 1), noise(4096, 0.3f, 2), 0.0, false},
      {"negative rate", noise(4096, 0.3f, 1), noise(4096, 0.3f, 2), -1.0, false},
      {"rate not a number", noise(4096, 0.3f, 1), noise(4096, 0.3f, 2), std::nan(""), false},
      {"NaN in the microphone", withNan, noise(48000, 0.3f, 2), kRate, true},
      {"NaN in the reference", noise(48000, 0.3f, 1), withNan, kRate, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<AdaptiveResult> out = cancelEchoAdaptive(c.mic, c.ref, c.rate);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->stats.ran, c.ran);
    EXPECT_FALSE(out->stats.applied);
    ASSERT_EQ(out->track.size(), c.mic.size());
    for (size_t i = 0; i < c.mic.size(); ++i) {
      if (std::isnan(c.mic[i])) ASSERT_TRUE(std::isnan(out->track[i])) << i;
      else ASSERT_EQ(out->track[i], c.mic[i]) << i;
    }
  }
}

// A track of three segments: a NaN in the second makes that segment the
// microphone as it came while the others are cleaned, and the bytes are the
// same whatever the number of threads.
TEST(AdaptiveCanceller, SegmentsGiveTheSameBytesOnEveryThreadCount) {
  constexpr double kLowRate = 8000.0;
  const size_t n = static_cast<size_t>(kLowRate * 300);
  const std::vector<float> far = noise(n, 0.3f, 11);
  std::vector<float> mic = delayed(far, 80, 0.5f);
  const SegmentPlan plan = planSegments(static_cast<int64_t>(n), kLowRate);
  ASSERT_EQ(plan.count(), 3);
  const size_t s1 = static_cast<size_t>(plan.start(1)), s2 = static_cast<size_t>(plan.start(2));
  mic[s1 + 1000] = std::numeric_limits<float>::quiet_NaN();
  const std::optional<AdaptiveResult> one = cancelEchoAdaptive(mic, far, kLowRate, 1);
  ASSERT_TRUE(one);
  ASSERT_EQ(one->track.size(), n);
  EXPECT_EQ(std::make_tuple(one->stats.segments, one->stats.reverted), std::make_tuple(3, 1));
  EXPECT_NE(formatAdaptiveDiagnostics(one->stats, kLowRate).find("applied=partly segments=3 reverted=1"),
            std::string::npos);
  EXPECT_EQ(std::memcmp(one->track.data() + s1, mic.data() + s1, (s2 - s1) * sizeof(float)), 0);
  EXPECT_LT(10.0 * std::log10(energy(one->track, s2, n) / energy(mic, s2, n)), -25.0);
  EXPECT_LT(10.0 * std::log10(energy(one->track, s1 - 8000, s1) / energy(mic, s1 - 8000, s1)), -25.0);
  for (const int threads : {2, 3}) {
    SCOPED_TRACE(threads);
    const std::optional<AdaptiveResult> many = cancelEchoAdaptive(mic, far, kLowRate, threads);
    ASSERT_TRUE(many);
    EXPECT_EQ(std::memcmp(many->track.data(), one->track.data(), n * sizeof(float)), 0);
  }
}

}  // namespace
