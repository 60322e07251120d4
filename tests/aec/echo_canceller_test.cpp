#include "aec/echo_canceller.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "test_signals.hpp"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

float rmsRatio(const std::vector<float>& out, const std::vector<float>& in, size_t a, size_t b) {
  double so = 0.0, si = 0.0;
  for (size_t i = a; i < b; ++i) so += double(out[i]) * out[i], si += double(in[i]) * in[i];
  return static_cast<float>(std::sqrt(so / si));
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * 4) == 0;
}

std::vector<float> sum(std::vector<float> a, const std::vector<float>& b) {
  for (size_t i = 0; i < a.size(); ++i) a[i] += b[i];
  return a;
}

}  // namespace

TEST(EchoCanceller, Scenarios) {
  const std::vector<float> n1 = whiteNoise(96000, 0.5f, 6), n2 = whiteNoise(96000, 0.3f, 8);
  const std::vector<float> longRef = whiteNoise(1'200'000, 0.3f, 9);
  std::vector<float> firstOnly = delayed(whiteNoise(80000, 0.3f, 10), 40, 0.5f), withNaN = n2;
  withNaN[20000] = kNaN;
  std::fill(firstOnly.begin() + 10000, firstOnly.end(), 0.0f);
  struct Row {
    const char* name;
    std::vector<float> mic, ref;
    double rate;
    const char* line;          // the start of the diagnostics line
    float minRatio, maxRatio;  // output/input level after the first second
  };
  const Row rows[] = {
      // No active frame: every gain is 1, the input comes back.
      {"zero reference", n1, std::vector<float>(96000, 0.0f), 48000.0,
       "[aec] applied=yes delayMs=[0] frames=188 farEnd=0% engaged=0% cohMean=0.00 cohMax=0.00 ",
       0.9999f, 1.0001f},
      {"pure echo", n1, n1, 48000.0, "[aec] applied=yes delayMs=[0] frames=188 farEnd=100% engaged=100% cohMean=1.00 cohMax=1.00 ", 0.07f, 0.09f},
      {"uncorrelated", n2, n1, 48000.0, "[aec] applied=yes ", 0.85f, 1.0f},
      // 25 s: three segments, each finding the 733-sample delay.
      {"delayed echo", delayed(longRef, 733, 0.5f), longRef, 48000.0,
       "[aec] applied=yes delayMs=[15,15,15] frames=2344 ", 0.0f, 0.15f},
      // At 1 kHz a segment is 10000 samples; silent later segments keep the delay.
      {"quiet later", firstOnly, whiteNoise(80000, 0.3f, 10), 1000.0,
       "[aec] applied=yes delayMs=[40,40,40,40,40,40] frames=157 ", 0.0f, 2.0f},
      // Results that are not finite are reverted to the microphone.
      {"NaN sample", withNaN, n1, 48000.0, "[aec] applied=no(reverted) ", 0.0f, 2.0f},
  };
  auto c = EchoCanceller::create();
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const AecResult got = c->process(r.mic, r.ref, r.rate);
    ASSERT_TRUE(got.stats);
    const std::string line = formatAecLine(*got.stats);
    EXPECT_EQ(line.rfind(r.line, 0), 0u) << line;
    ASSERT_EQ(got.cleaned.size(), r.mic.size());
    if (!got.stats->applied) {
      EXPECT_TRUE(sameBits(got.cleaned, r.mic));
      EXPECT_EQ(line.substr(line.size() - 11), "mic\xCE\x94=0.0dB");
    }
    const float ratio = rmsRatio(got.cleaned, r.mic, 48000, r.mic.size());
    EXPECT_FALSE(ratio < r.minRatio || ratio > r.maxRatio) << ratio;  // 0/0 for a silent microphone
  }
}

// Every thread count gives the same samples and line, on lengths where a
// segment (10000 samples at 1 kHz), a frame or a read window (65536) ends at
// the end of the track, one sample before and one after; a call in between
// with other tracks leaves nothing behind. Tracks shorter than a frame, or
// no rate, give the microphone without statistics.
TEST(EchoCanceller, SameResultWhateverTheThreadsAndWhereTheTrackEnds) {
  auto c = EchoCanceller::create();
  for (int64_t length : {1023, 1024, 1025, 1535, 1536, 1537, 9999, 10000, 10001, 20000, 65535, 65536, 65537}) {
    SCOPED_TRACE(length);
    const std::vector<float> ref = whiteNoise(static_cast<size_t>(length), 0.3f, 30);
    const std::vector<float> mic = sum(delayed(ref, 37, 0.5f), whiteNoise(length, 0.05f, 31));
    c->setThreads(1);
    const AecResult one = c->process(mic, ref, 1000.0);
    ASSERT_EQ(one.stats.has_value(), length >= 1024);
    if (!one.stats) {
      EXPECT_TRUE(sameBits(one.cleaned, mic) && !c->process(ref, mic, 1000.0).stats);
      continue;
    }
    EXPECT_EQ(one.stats->frames, (length + 511) / 512);
    for (double rate : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
      EXPECT_FALSE(c->process(mic, ref, rate).stats);
    }
    for (int threads : {2, 8}) {
      c->setThreads(threads);
      c->process(ref, mic, 1000.0);
      const AecResult many = c->process(mic, ref, 1000.0);
      EXPECT_TRUE(sameBits(many.cleaned, one.cleaned)) << threads;
      EXPECT_EQ(formatAecLine(*many.stats), formatAecLine(*one.stats)) << threads;
    }
  }
}

namespace {

// Hands out real transforms but fails at one position; counts what is alive.
struct FailingFactory final : DftFactory {
  std::unique_ptr<Dft> create(int64_t length, DftDirection direction) override {
    requests.push_back({length, direction});
    if (static_cast<int>(requests.size()) - 1 == failAt) return nullptr;
    return std::make_unique<Counted>(fftwDftFactory().create(length, direction), alive);
  }
  struct Counted final : Dft {
    Counted(std::unique_ptr<Dft> d, int& alive) : d(std::move(d)), alive(++alive) {}
    ~Counted() override { --alive; }
    void forwardReal(const float* in, std::complex<float>* out) override { d->forwardReal(in, out); }
    void inverseHermitian(std::complex<float>* in, float* out) override { d->inverseHermitian(in, out); }
    std::unique_ptr<Dft> d;
    int& alive;
  };
  int failAt = -1;
  std::vector<std::pair<int64_t, DftDirection>> requests;
  int alive = 0;
};

}  // namespace

TEST(EchoCancellerConstruction, FourTransformsInOrderAnyFailureYieldsNothingAndFreesTheOthers) {
  const std::vector<std::pair<int64_t, DftDirection>> order{
      {1024, DftDirection::kForward}, {1024, DftDirection::kInverse},
      {1 << 20, DftDirection::kForward}, {1 << 20, DftDirection::kInverse}};
  for (int failAt = -1; failAt < 4; ++failAt) {
    SCOPED_TRACE(failAt);
    FailingFactory f;
    f.failAt = failAt;
    auto c = EchoCanceller::create(f);
    const size_t asked = failAt < 0 ? 4 : static_cast<size_t>(failAt) + 1;
    EXPECT_EQ(f.requests, decltype(order)(order.begin(), order.begin() + static_cast<long>(asked)));
    EXPECT_EQ(c != nullptr, failAt < 0);
    EXPECT_EQ(f.alive, failAt < 0 ? 4 : 0);
    c.reset();
    EXPECT_EQ(f.alive, 0);
  }
}
