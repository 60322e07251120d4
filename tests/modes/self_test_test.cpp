#include "modes/self_test.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "support/stderr_capture.hpp"

namespace {

// The verdict and summary lines, without the canceller's own "[aec]" lines.
std::vector<std::string> verdicts(const std::string& text) {
  std::vector<std::string> out;
  for (const std::string& l : linesOf(text)) {
    if (l.find("[self-test]") != std::string::npos) out.push_back(l);
  }
  return out;
}

// A wrong canceller: hands back its input, silence or too few samples, and
// a scripted lag.
struct StandIn final : SelfTestSubject {
  enum Kind { kIdentity, kSilence, kShort } kind = kIdentity;
  std::optional<int64_t> lag = 733;
  std::vector<float> process(std::span<const float> mic, std::span<const float>, double) override {
    if (kind == kSilence) return std::vector<float>(mic.size(), 0.0f);
    return {mic.begin(), kind == kShort ? mic.begin() + 1000 : mic.end()};
  }
  std::optional<int64_t> bestLag(std::span<const float>, std::span<const float>, int64_t, int64_t,
                                 int64_t, int64_t) override {
    return lag;
  }
};

const std::string kP = "narup-capture: [self-test] PASS: ", kF = "narup-capture: [self-test] FAIL: ";
const std::vector<std::string> kAllPass = {
    kP + "stft-roundtrip-identity", kP + "delay-estimation", kP + "pure-echo-suppression",
    kP + "double-talk-voice-protection", kP + "uncorrelated-ref-unchanged",
    kP + "realistic-echo-suppression", "narup-capture: [self-test] ALL PASS"};

TEST(SelfTest, RatiosAreTheShortestRoundTripWithAPoint) {
  const std::pair<float, const char*> rows[] = {
      {1.0f, "1.0"}, {0.25f, "0.25"}, {0.1f, "0.1"}, {0.0f, "0.0"}, {12.0f, "12.0"},
      {0.99999994f, "0.99999994"}, {std::nanf(""), "nan"}, {-std::nanf(""), "nan"}};
  for (const auto& [value, text] : rows) EXPECT_EQ(formatSelfTestRatio(value), text);
}

TEST(SelfTest, TheRealCancellerPassesAllSixTheSameWayTwice) {
  ::setenv("HOME", "/nonexistent", 1);  // the canceller's log is not kept
  std::string runs[2];
  for (std::string& run : runs) {
    StderrCapture err;
    EXPECT_TRUE(runEchoCancellerSelfTests());
    run = err.text();
  }
  EXPECT_EQ(verdicts(runs[0]), kAllPass);
  EXPECT_EQ(runs[0], runs[1]);
  // A check's "[aec]" line comes before its verdict; the delay check has none.
  const auto lines = linesOf(runs[0]);
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[1] + lines[2], kAllPass[0] + kAllPass[1]);
  EXPECT_EQ(lines[3].rfind("narup-capture: [aec] ", 0), 0u);
}

TEST(SelfTest, WrongCancellersFailTheChecksTheyShould) {
  // The failing checks' lines ("~": the value that follows is about 1).
  const std::pair<StandIn::Kind, std::map<size_t, std::string>> rows[] = {
      {StandIn::kIdentity, {{2, "pure-echo-suppression \u2014 residual=~"}, {5, "realistic-echo-suppression \u2014 residual=~"}}},
      {StandIn::kSilence, {{0, "stft-roundtrip-identity \u2014 rel=~"}, {3, "double-talk-voice-protection \u2014 retained=0.0"},
                           {4, "uncorrelated-ref-unchanged \u2014 retained=0.0"}}},
      {StandIn::kShort, {{0, "stft-roundtrip-identity \u2014 rel=nan"}, {2, "pure-echo-suppression \u2014 residual=nan"},
                         {3, "double-talk-voice-protection \u2014 retained=nan"},
                         {4, "uncorrelated-ref-unchanged \u2014 retained=nan"},
                         {5, "realistic-echo-suppression \u2014 residual=nan"}}},
  };
  for (const auto& [kind, fails] : rows) {
    StandIn standIn;
    standIn.kind = kind;
    StderrCapture err;
    EXPECT_FALSE(runSelfTestChecks(standIn));
    const auto lines = verdicts(err.text());
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[6], "narup-capture: [self-test] FAILURES PRESENT");
    for (size_t i = 0; i < 6; ++i) {
      const std::string want = fails.count(i) ? kF + fails.at(i) : kAllPass[i];
      const size_t fixed = want.back() == '~' ? want.size() - 1 : std::string::npos;
      EXPECT_EQ(lines[i].substr(0, fixed), want.substr(0, fixed));
      if (fixed != std::string::npos) {
        EXPECT_NEAR(std::stof(lines[i].substr(fixed)), 1.0f, 1e-6f);
      }
    }
  }
}

TEST(SelfTest, DelayEstimateWithinThreeSamplesPasses) {
  const std::string kLine = kF + "delay-estimation \u2014 est=";
  const std::pair<std::optional<int64_t>, std::string> rows[] = {
      {730, kAllPass[1]}, {737, kLine + "Optional(737) want=733"},
      {-733, kLine + "Optional(-733) want=733"}, {std::nullopt, kLine + "nil want=733"}};
  for (const auto& [lag, line] : rows) {
    StandIn standIn;
    standIn.lag = lag;
    StderrCapture err;
    runSelfTestChecks(standIn);
    EXPECT_EQ(verdicts(err.text()).at(1), line);
  }
}

TEST(SelfTest, NoCancellerMeansOneFailLineAndNoSummary) {
  struct NoTransforms final : DftFactory {
    std::unique_ptr<Dft> create(int64_t, DftDirection) override { return nullptr; }
  } none;
  StderrCapture err;
  EXPECT_FALSE(runEchoCancellerSelfTests(none));
  EXPECT_EQ(err.text(), "narup-capture: [self-test] FAIL: EchoCanceller init\n");
}

}  // namespace
