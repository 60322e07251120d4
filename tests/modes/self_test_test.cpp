#include "modes/self_test.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "support/stderr_capture.hpp"

namespace {

// The verdict and summary lines, without the canceller's own "[aec]" lines.
std::vector<std::string> verdicts(const std::string& text) {
  std::vector<std::string> lines = linesOf(text);
  std::erase_if(lines, [](const std::string& l) { return l.find("[self-test]") == std::string::npos; });
  return lines;
}

// A wrong canceller: hands back its input or silence, and a scripted lag.
struct StandIn final : SelfTestSubject {
  enum Kind { kIdentity, kSilence } kind = kIdentity;
  std::optional<int64_t> lag = 733;
  std::vector<float> process(std::span<const float> mic, std::span<const float>, double) override {
    return kind == kSilence ? std::vector<float>(mic.size(), 0.0f) : std::vector<float>(mic.begin(), mic.end());
  }
  std::optional<int64_t> bestLag(std::span<const float>, std::span<const float>, int64_t, int64_t, int64_t,
                                 int64_t) override {
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

TEST(SelfTest, TheRealCancellerPassesAllSixEachAfterItsOwnAecLine) {
  ::setenv("HOME", "/nonexistent", 1);  // the canceller's log is not kept
  StderrCapture err;
  EXPECT_TRUE(runEchoCancellerSelfTests());
  EXPECT_EQ(verdicts(err.text()), kAllPass);
  const auto lines = err.lines();  // the delay check makes no "[aec]" line
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[0].substr(0, 21) + lines[1] + lines[2] + lines[3].substr(0, 21),
            "narup-capture: [aec] " + kAllPass[0] + kAllPass[1] + "narup-capture: [aec] ");
}

TEST(SelfTest, WrongCancellersFailTheChecksTheyShould) {
  // The start of each check's failing line.
  const std::string rel = "stft-roundtrip-identity \u2014 rel=", est = "delay-estimation \u2014 est=",
                    pure = "pure-echo-suppression \u2014 residual=",
                    talk = "double-talk-voice-protection \u2014 retained=",
                    unc = "uncorrelated-ref-unchanged \u2014 retained=",
                    real = "realistic-echo-suppression \u2014 residual=";
  // Rows: canceller, lag, the failing checks' lines ("~": the value after it is about 1).
  const std::tuple<StandIn::Kind, std::optional<int64_t>, std::map<size_t, std::string>> rows[] = {
      {StandIn::kIdentity, 736, {{2, pure + "~"}, {5, real + "~"}}},
      {StandIn::kSilence, 730, {{0, rel + "~"}, {3, talk + "0.0"}, {4, unc + "0.0"}}},
      {StandIn::kIdentity, 737, {{1, est + "Optional(737) want=733"}, {2, pure + "~"}, {5, real + "~"}}},
      {StandIn::kSilence, -733,
       {{0, rel + "~"}, {1, est + "Optional(-733) want=733"}, {3, talk + "0.0"}, {4, unc + "0.0"}}},
      {StandIn::kIdentity, std::nullopt, {{1, est + "nil want=733"}, {2, pure + "~"}, {5, real + "~"}}},
  };
  for (const auto& [kind, lag, fails] : rows) {
    StandIn standIn;
    standIn.kind = kind;
    standIn.lag = lag;
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

TEST(SelfTest, NoCancellerMeansOneFailLineAndNoSummary) {
  struct NoTransforms final : DftFactory {
    std::unique_ptr<Dft> create(int64_t, DftDirection) override { return nullptr; }
  } none;
  StderrCapture err;
  EXPECT_FALSE(runEchoCancellerSelfTests(none));
  EXPECT_EQ(err.text(), "narup-capture: [self-test] FAIL: EchoCanceller init\n");
}

}  // namespace
