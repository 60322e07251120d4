#include "aec/echo_canceller.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "test_signals.hpp"

namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

float rmsOver(const std::vector<float>& x, size_t a, size_t b) {
  double s = 0.0;
  for (size_t i = a; i < b; ++i) s += static_cast<double>(x[i]) * x[i];
  return static_cast<float>(std::sqrt(s / static_cast<double>(b - a)));
}

bool sameBits(const std::vector<float>& a, std::span<const float> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class EchoCancellerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    canceller = EchoCanceller::create();
    ASSERT_NE(canceller, nullptr);
  }
  // process() with standard error captured; the diagnostics line, if any,
  // lands in `err`.
  std::vector<float> run(const std::vector<float>& mic, const std::vector<float>& ref,
                         double rate = 48000.0) {
    CaptureStderr();
    std::vector<float> out = canceller->process(mic, ref, rate);
    err = GetCapturedStderr();
    return out;
  }
  ScopedHome home;  // the log goes to a scratch home
  std::unique_ptr<EchoCanceller> canceller;
  std::string err;
};

}  // namespace

TEST_F(EchoCancellerTest, FrameCountIsLengthOverHopRoundedUp) {
  const std::vector<float> ref = whiteNoise(4096, 0.3f, 1);
  for (size_t length : {1024u, 1025u, 1536u, 1537u, 4096u, 48000u}) {
    SCOPED_TRACE(length);
    const std::vector<float> mic = whiteNoise(length, 0.3f, 2);
    const std::vector<float> out = run(mic, ref);
    EXPECT_EQ(canceller->dFrames(), static_cast<int64_t>((length + 511) / 512));
    EXPECT_EQ(out.size(), length);  // whatever the reference's length
  }
}

TEST_F(EchoCancellerTest, UnitGainsReproduceTheInputAfterTheFirstHalfFrame) {
  // An all-zero reference: no frame is active, every gain is 1.
  const std::vector<float> mic = whiteNoise(20000, 0.5f, 3);
  const std::vector<float> ref(20000, 0.0f);
  const std::vector<float> out = run(mic, ref);
  ASSERT_EQ(out.size(), mic.size());
  EXPECT_EQ(out[0], 0.0f);
  EXPECT_NEAR(out[256], 0.5f * mic[256], 1e-6f);  // rising half window
  for (size_t i = 512; i < mic.size(); ++i) ASSERT_NEAR(out[i], mic[i], 2e-6f) << i;
  EXPECT_EQ(canceller->dFarEnd(), 0);
  EXPECT_EQ(canceller->dActive(), 0);
  EXPECT_EQ(canceller->dCohSum(), 0.0f);
  EXPECT_EQ(canceller->dCohMax(), 0.0f);
  EXPECT_NE(err.find("applied=yes delayMs=[0] frames=40 farEnd=0% engaged=0% cohMean=0.00 "
                     "cohMax=0.00 mic"),
            std::string::npos)
      << err;
}

TEST_F(EchoCancellerTest, EarlyReturnsGiveTheMicrophoneAndWriteNothing) {
  const std::vector<float> mic = whiteNoise(4000, 0.3f, 4);
  const std::vector<float> ref = whiteNoise(4000, 0.3f, 5);
  run(mic, ref);  // a full call first: its statistics must survive the early returns
  const int64_t frames = canceller->dFrames();
  ASSERT_EQ(frames, 8);
  const std::vector<float> shortMic(mic.begin(), mic.begin() + 1023);
  const std::vector<float> shortRef(ref.begin(), ref.begin() + 1023);
  struct Case {
    const char* name;
    const std::vector<float>& m;
    const std::vector<float>& r;
    double rate;
  };
  const Case cases[] = {{"mic 1023", shortMic, ref, 48000.0},
                        {"ref 1023", mic, shortRef, 48000.0},
                        {"rate 0", mic, ref, 0.0},
                        {"rate -1", mic, ref, -1.0},
                        {"rate NaN", mic, ref, std::numeric_limits<double>::quiet_NaN()}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<float> out = run(c.m, c.r, c.rate);
    EXPECT_TRUE(sameBits(out, c.m));
    EXPECT_EQ(err, "");
    EXPECT_EQ(canceller->dFrames(), frames);
  }
  // Only the one full call reached the log.
  std::ifstream log(home.logPath());
  std::string line;
  int count = 0;
  while (std::getline(log, line)) ++count;
  EXPECT_EQ(count, 1);
}

TEST_F(EchoCancellerTest, MicrophoneEqualToReferenceFallsToTheFloor) {
  const std::vector<float> ref = whiteNoise(96000, 0.5f, 6);
  const std::vector<float> out = run(ref, ref);
  const float ratio = rmsOver(out, 20000, 86000) / rmsOver(ref, 20000, 86000);
  EXPECT_NEAR(ratio, 0.08f, 0.01f);
  EXPECT_EQ(canceller->dFarEnd(), canceller->dFrames());
  EXPECT_EQ(canceller->dActive(), canceller->dFrames());
  EXPECT_GT(canceller->dCohMax(), 0.999f);
}

TEST_F(EchoCancellerTest, UncorrelatedSoundPasses) {
  const std::vector<float> mic = whiteNoise(96000, 0.3f, 7);
  const std::vector<float> ref = whiteNoise(96000, 0.3f, 8);
  const std::vector<float> out = run(mic, ref);
  EXPECT_GT(rmsOver(out, 20000, 86000) / rmsOver(mic, 20000, 86000), 0.85f);
}

TEST_F(EchoCancellerTest, DelayedEchoIsFoundPerSegmentAndRemoved) {
  // 25 s at 48 kHz: three segments, each finding the 733-sample delay.
  const std::vector<float> ref = whiteNoise(1'200'000, 0.3f, 9);
  const std::vector<float> mic = delayed(ref, 733, 0.5f);
  const std::vector<float> out = run(mic, ref);
  EXPECT_NE(err.find("narup-capture: [aec] applied=yes delayMs=[15,15,15] frames=2344 "),
            std::string::npos)
      << err;
  EXPECT_LT(rmsOver(out, 100000, 1'100'000) / rmsOver(mic, 100000, 1'100'000), 0.15f);
}

TEST_F(EchoCancellerTest, QuietLaterSegmentsKeepTheDelay) {
  // At 1 kHz a segment is 10000 samples. Echo at 40 samples in the first
  // segment only; later segments are silent and repeat the delay, and only
  // the first six of the eight delays are shown.
  std::vector<float> ref = whiteNoise(80000, 0.3f, 10);
  std::vector<float> mic = delayed(ref, 40, 0.5f);
  std::fill(mic.begin() + 10000, mic.end(), 0.0f);
  run(mic, ref, 1000.0);
  EXPECT_NE(err.find("delayMs=[40,40,40,40,40,40] frames=157 "), std::string::npos) << err;
}

TEST_F(EchoCancellerTest, ReferenceActiveInSomeFramesOnly) {
  std::vector<float> ref = whiteNoise(51200, 0.3f, 11);
  std::fill(ref.begin() + 25600, ref.end(), 0.0f);  // silent from frame 50 on
  // An echo without delay plus near-end noise, so the track's delay is 0.
  std::vector<float> mic = whiteNoise(51200, 0.1f, 12);
  for (size_t i = 0; i < mic.size(); ++i) mic[i] += 0.5f * ref[i];
  run(mic, ref);
  EXPECT_NE(err.find("delayMs=[0] "), std::string::npos) << err;
  EXPECT_EQ(canceller->dFrames(), 100);
  // Frames starting at 0 ... 25088 overlap the active part (50 frames).
  EXPECT_EQ(canceller->dFarEnd(), 50);
  EXPECT_LE(canceller->dActive(), 50);
  EXPECT_GT(canceller->dCohSum(), 0.0f);
}

TEST_F(EchoCancellerTest, NonFiniteResultIsRevertedToTheMicrophone) {
  std::vector<float> mic = whiteNoise(48000, 0.3f, 13);
  mic[20000] = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> ref = whiteNoise(48000, 0.3f, 14);
  const std::vector<float> out = run(mic, ref);
  EXPECT_TRUE(sameBits(out, mic));
  EXPECT_NE(err.find("[aec] applied=no(reverted) "), std::string::npos) << err;
  EXPECT_NE(err.find("mic\xCE\x94=0.0dB\n"), std::string::npos) << err;
}

TEST_F(EchoCancellerTest, InfiniteSampleIsRevertedToo) {
  std::vector<float> mic = whiteNoise(8192, 0.3f, 19);
  mic[5000] = -std::numeric_limits<float>::infinity();
  const std::vector<float> out = run(mic, whiteNoise(8192, 0.3f, 20));
  EXPECT_TRUE(sameBits(out, mic));
  EXPECT_NE(err.find("applied=no(reverted) "), std::string::npos) << err;
}

TEST_F(EchoCancellerTest, AbsurdSampleRatesGiveOneSegment) {
  // Ten times these rates does not fit 64 bits (or is infinite): the whole
  // track is one segment, searched over the lags the correlation can hold.
  const std::vector<float> ref = whiteNoise(30000, 0.3f, 21);
  const std::vector<float> mic = delayed(ref, 64, 0.5f);
  for (double rate : {1e300, std::numeric_limits<double>::infinity()}) {
    SCOPED_TRACE(rate);
    const std::vector<float> out = run(mic, ref, rate);
    EXPECT_EQ(out.size(), mic.size());
    EXPECT_NE(err.find("applied=yes delayMs=[0] frames=59 "), std::string::npos) << err;
  }
}

TEST_F(EchoCancellerTest, AllZeroMicrophoneReportsZeroDecibels) {
  const std::vector<float> mic(4096, 0.0f);
  const std::vector<float> ref = whiteNoise(4096, 0.3f, 15);
  const std::vector<float> out = run(mic, ref);
  EXPECT_TRUE(sameBits(out, mic));
  EXPECT_NE(err.find("applied=yes "), std::string::npos) << err;
  EXPECT_NE(err.find(" mic\xCE\x94=0.0dB\n"), std::string::npos) << err;
}

TEST_F(EchoCancellerTest, EachCallAppendsItsConsoleLineToTheLog) {
  const std::vector<float> mic = whiteNoise(4096, 0.3f, 16);
  const std::vector<float> ref = whiteNoise(4096, 0.3f, 17);
  run(mic, ref);
  const std::string first = err;
  run(ref, ref);
  const std::string second = err;
  std::ifstream in(home.logPath(), std::ios::binary);
  std::stringstream log;
  log << in.rdbuf();
  const std::string prefix = "narup-capture: ";
  ASSERT_EQ(first.rfind(prefix, 0), 0u);
  ASSERT_EQ(second.rfind(prefix, 0), 0u);
  EXPECT_EQ(log.str(), first.substr(prefix.size()) + second.substr(prefix.size()));
  EXPECT_EQ(linesOf(log.str()).size(), 2u);
}

TEST_F(EchoCancellerTest, CallsDoNotCarryStateOver) {
  const std::vector<float> mic = whiteNoise(30000, 0.3f, 18);
  const std::vector<float> ref = delayed(mic, 100, 1.0f);
  const std::vector<float> first = run(mic, ref);
  const std::string firstLine = err;
  run(ref, ref);  // disturbs every average
  const std::vector<float> again = run(mic, ref);
  EXPECT_TRUE(sameBits(first, again));
  EXPECT_EQ(err, firstLine);
}

namespace {

// Hands out real transforms but fails at one position, and records what was
// asked for and what is still alive.
class RecordingFactory final : public DftFactory {
 public:
  explicit RecordingFactory(int failAt) : failAt_(failAt) {}
  std::unique_ptr<Dft> create(int64_t length, DftDirection direction) override {
    requests.push_back({length, direction});
    if (static_cast<int>(requests.size()) - 1 == failAt_) return nullptr;
    auto real = fftwDftFactory().create(length, direction);
    return std::make_unique<Tracked>(std::move(real), *this, static_cast<int>(requests.size()) - 1);
  }
  std::vector<std::pair<int64_t, DftDirection>> requests;
  std::vector<int> destroyed;
  int alive = 0;

 private:
  struct Tracked final : Dft {
    Tracked(std::unique_ptr<Dft> d, RecordingFactory& f, int id) : d_(std::move(d)), f_(f), id_(id) {
      ++f_.alive;
    }
    ~Tracked() override {
      --f_.alive;
      f_.destroyed.push_back(id_);
    }
    int64_t length() const override { return d_->length(); }
    DftDirection direction() const override { return d_->direction(); }
    void execute(const float* a, const float* b, float* c, float* d) override { d_->execute(a, b, c, d); }
    void forwardReal(const float* in, std::complex<float>* out) override { d_->forwardReal(in, out); }
    void inverseHermitian(std::complex<float>* in, float* out) override { d_->inverseHermitian(in, out); }
    std::unique_ptr<Dft> d_;
    RecordingFactory& f_;
    int id_;
  };
  int failAt_;
};

const std::vector<std::pair<int64_t, DftDirection>> kOrder{
    {1024, DftDirection::kForward},
    {1024, DftDirection::kInverse},
    {1 << 20, DftDirection::kForward},
    {1 << 20, DftDirection::kInverse}};

}  // namespace

TEST(EchoCancellerConstruction, AFailingTransformYieldsNothingAndFreesTheOthers) {
  for (int failAt = 0; failAt < 4; ++failAt) {
    SCOPED_TRACE(failAt);
    RecordingFactory f(failAt);
    EXPECT_EQ(EchoCanceller::create(f), nullptr);
    // Nothing is asked for after the failure, in the fixed order before it.
    const std::vector<std::pair<int64_t, DftDirection>> asked(kOrder.begin(),
                                                              kOrder.begin() + failAt + 1);
    EXPECT_EQ(f.requests, asked);
    EXPECT_EQ(f.alive, 0);
    EXPECT_EQ(f.destroyed.size(), static_cast<size_t>(failAt));
  }
}

TEST(EchoCancellerConstruction, OwnsItsFourTransformsAndFreesThemInOrder) {
  RecordingFactory f(-1);
  auto c = EchoCanceller::create(f);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(f.requests, kOrder);
  EXPECT_EQ(f.alive, 4);
  EXPECT_EQ(c->dFrames(), 0);
  c.reset();
  EXPECT_EQ(f.alive, 0);
  EXPECT_EQ(f.destroyed, (std::vector<int>{0, 1, 2, 3}));
}
