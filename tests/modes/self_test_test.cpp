#include "modes/self_test.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "aec/echo_canceller.hpp"
#include "support/run_process.hpp"
#include "support/stderr_capture.hpp"

namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

// The verdict and summary lines, without the canceller's own "[aec]" lines.
std::vector<std::string> verdicts(const std::string& text) {
  std::vector<std::string> out;
  for (const std::string& l : linesOf(text)) {
    if (l.find("[self-test]") != std::string::npos) out.push_back(l);
  }
  return out;
}

// Keeps the canceller's log out of the real home directory.
class ScratchHome {
 public:
  ScratchHome() {
    char tmpl[] = "/tmp/narup_selftest_home.XXXXXX";
    dir_ = mkdtemp(tmpl);
    if (const char* h = std::getenv("HOME")) old_ = h;
    setenv("HOME", dir_.c_str(), 1);
  }
  ~ScratchHome() {
    if (old_.empty()) unsetenv("HOME");
    else setenv("HOME", old_.c_str(), 1);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  std::string old_;
};

// A stand-in canceller: process() as given, bestLag() either scripted or
// from a real canceller.
class FakeCanceller final : public SelfTestSubject {
 public:
  enum class Process { kIdentity, kSilence, kShort };
  explicit FakeCanceller(Process p) : mode_(p), real_(EchoCanceller::create()) {}
  std::vector<float> process(std::span<const float> mic, std::span<const float>, double) override {
    switch (mode_) {
      case Process::kIdentity: return {mic.begin(), mic.end()};
      case Process::kSilence: return std::vector<float>(mic.size(), 0.0f);
      case Process::kShort: return std::vector<float>(mic.begin(), mic.begin() + 1000);
    }
    return {};
  }
  std::optional<int64_t> bestLag(std::span<const float> mic, std::span<const float> ref, int64_t at,
                                 int64_t window, int64_t center, int64_t radius) override {
    if (scripted) return *scripted;
    return real_->bestLag(mic, ref, at, window, center, radius);
  }
  std::optional<std::optional<int64_t>> scripted;

 private:
  Process mode_;
  std::unique_ptr<EchoCanceller> real_;
};

const char* const kPassLines[] = {
    "narup-capture: [self-test] PASS: stft-roundtrip-identity",
    "narup-capture: [self-test] PASS: delay-estimation",
    "narup-capture: [self-test] PASS: pure-echo-suppression",
    "narup-capture: [self-test] PASS: double-talk-voice-protection",
    "narup-capture: [self-test] PASS: uncorrelated-ref-unchanged",
    "narup-capture: [self-test] PASS: realistic-echo-suppression",
    "narup-capture: [self-test] ALL PASS",
};

}  // namespace

TEST(SelfTestRatio, ShortestRoundTripWithAPoint) {
  struct Row {
    float value;
    const char* text;
  };
  const Row rows[] = {{1.0f, "1.0"},          {0.25f, "0.25"},   {0.1f, "0.1"},
                      {0.08f, "0.08"},        {0.0f, "0.0"},     {1.0000001f, "1.0000001"},
                      {0.99999994f, "0.99999994"}, {12.0f, "12.0"}, {0.4999999f, "0.4999999"}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(formatSelfTestRatio(r.value), r.text);
    EXPECT_EQ(std::strtof(formatSelfTestRatio(r.value).c_str(), nullptr), r.value);
  }
  EXPECT_EQ(formatSelfTestRatio(std::numeric_limits<float>::quiet_NaN()), "nan");
  EXPECT_EQ(formatSelfTestRatio(-std::numeric_limits<float>::quiet_NaN()), "nan");
}

TEST(SelfTest, TheRealCancellerPassesAllSixTheSameWayTwice) {
  ScratchHome home;
  CaptureStderr();
  const bool first = runEchoCancellerSelfTests();
  const std::string out1 = GetCapturedStderr();
  CaptureStderr();
  const bool second = runEchoCancellerSelfTests();
  const std::string out2 = GetCapturedStderr();
  EXPECT_TRUE(first);
  EXPECT_TRUE(second);
  EXPECT_EQ(verdicts(out1), std::vector<std::string>(std::begin(kPassLines), std::end(kPassLines)));
  EXPECT_EQ(out1, out2);
  // Each check's own "[aec]" line comes before its verdict: five process
  // calls, none for the delay check.
  const auto lines = linesOf(out1);
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[0].rfind("narup-capture: [aec] ", 0), 0u);
  EXPECT_EQ(lines[1], kPassLines[0]);
  EXPECT_EQ(lines[2], kPassLines[1]);
  EXPECT_EQ(lines[3].rfind("narup-capture: [aec] ", 0), 0u);
}

TEST(SelfTest, StandInCancellersFailTheChecksTheyShould) {
  ScratchHome home;
  // A verdict line: exact, or (with a value) its start and the number after it.
  struct Verdict {
    const char* text;
    float value = std::nanf("");
  };
  const char* const kFail = "narup-capture: [self-test] FAILURES PRESENT";
  struct Row {
    const char* what;
    FakeCanceller::Process process;
    std::vector<Verdict> lines;  // nullptr text: not looked at
  };
  const Row rows[] = {
      {"returns its input", FakeCanceller::Process::kIdentity,
       {{kPassLines[0]}, {kPassLines[1]},
        {"narup-capture: [self-test] FAIL: pure-echo-suppression \u2014 residual=", 1.0f},
        {kPassLines[3]}, {kPassLines[4]},
        {"narup-capture: [self-test] FAIL: realistic-echo-suppression \u2014 residual=", 1.0f},
        {kFail}}},
      {"returns silence", FakeCanceller::Process::kSilence,
       {{"narup-capture: [self-test] FAIL: stft-roundtrip-identity \u2014 rel=", 1.0f},
        {kPassLines[1]}, {kPassLines[2]},
        {"narup-capture: [self-test] FAIL: double-talk-voice-protection \u2014 retained=0.0"},
        {"narup-capture: [self-test] FAIL: uncorrelated-ref-unchanged \u2014 retained=0.0"},
        {kPassLines[5]}, {kFail}}},
      {"returns too few samples", FakeCanceller::Process::kShort,
       {{"narup-capture: [self-test] FAIL: stft-roundtrip-identity \u2014 rel=nan"}, {nullptr},
        {"narup-capture: [self-test] FAIL: pure-echo-suppression \u2014 residual=nan"},
        {"narup-capture: [self-test] FAIL: double-talk-voice-protection \u2014 retained=nan"},
        {nullptr}, {nullptr}, {nullptr}}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    FakeCanceller fake(r.process);
    CaptureStderr();
    EXPECT_FALSE(runSelfTestChecks(fake));
    const auto lines = verdicts(GetCapturedStderr());
    ASSERT_EQ(lines.size(), r.lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
      const Verdict& v = r.lines[i];
      if (v.text == nullptr) continue;
      if (std::isnan(v.value)) {
        EXPECT_EQ(lines[i], v.text);
      } else {
        ASSERT_EQ(lines[i].rfind(v.text, 0), 0u) << lines[i];
        EXPECT_NEAR(std::strtof(lines[i].c_str() + std::strlen(v.text), nullptr), v.value, 1e-6f);
      }
    }
  }
}

TEST(SelfTest, DelayEstimateToleranceAndItsFailingLines) {
  ScratchHome home;
  struct Row {
    std::optional<int64_t> est;
    const char* line;  // nullptr: passes
  };
  const Row rows[] = {
      {730, nullptr},
      {736, nullptr},
      {729, "narup-capture: [self-test] FAIL: delay-estimation \u2014 est=Optional(729) want=733"},
      {737, "narup-capture: [self-test] FAIL: delay-estimation \u2014 est=Optional(737) want=733"},
      {-733, "narup-capture: [self-test] FAIL: delay-estimation \u2014 est=Optional(-733) want=733"},
      {std::nullopt, "narup-capture: [self-test] FAIL: delay-estimation \u2014 est=nil want=733"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.line ? r.line : "pass");
    FakeCanceller fake(FakeCanceller::Process::kIdentity);
    fake.scripted = r.est;
    CaptureStderr();
    runSelfTestChecks(fake);
    const auto lines = verdicts(GetCapturedStderr());
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[1], r.line ? r.line : kPassLines[1]);
  }
}

namespace {

// Fails to make any transform.
class NoTransforms final : public DftFactory {
 public:
  std::unique_ptr<Dft> create(int64_t, DftDirection) override { return nullptr; }
};

}  // namespace

TEST(SelfTest, NoCancellerMeansOneFailLineAndNoSummary) {
  NoTransforms none;
  CaptureStderr();
  EXPECT_FALSE(runEchoCancellerSelfTests(none));
  EXPECT_EQ(GetCapturedStderr(), "narup-capture: [self-test] FAIL: EchoCanceller init\n");
}

TEST(SelfTestBinary, ExitsZeroWithIdenticalOutputTwice) {
  if (!std::filesystem::exists(NARUP_BINARY)) GTEST_SKIP() << "no binary at " << NARUP_BINARY;
  ScratchHome home;
  const ProcessResult a = runProcess({NARUP_BINARY, "--self-test"}, {{"HOME", home.dir()}}, 120.0);
  const ProcessResult b = runProcess({NARUP_BINARY, "--self-test"}, {{"HOME", home.dir()}}, 120.0);
  EXPECT_EQ(a.exitStatus, 0);
  EXPECT_EQ(b.exitStatus, 0);
  EXPECT_EQ(a.out, "");
  EXPECT_EQ(verdicts(a.err), std::vector<std::string>(std::begin(kPassLines), std::end(kPassLines)));
  EXPECT_EQ(a.err, b.err);
  // Five process calls per run, each one log line.
  std::ifstream log(home.dir() + "/.narup-aec.log");
  int count = 0;
  for (std::string line; std::getline(log, line);) ++count;
  EXPECT_EQ(count, 10);
}
