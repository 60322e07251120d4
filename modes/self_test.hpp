#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "aec/dft.hpp"

// The body of the --self-test mode: six checks of a new EchoCanceller on
// synthetic signals, one "[self-test] " line each and a summary. True only
// when every check passed; false at once when the canceller cannot be made.
bool runEchoCancellerSelfTests();

// The same with the canceller's transforms taken from `factory` (a test can
// make its construction fail).
bool runEchoCancellerSelfTests(DftFactory& factory);

// What the checks drive: the canceller's two operations.
class SelfTestSubject {
 public:
  virtual ~SelfTestSubject() = default;
  virtual std::vector<float> process(std::span<const float> mic, std::span<const float> reference,
                                     double sampleRate) = 0;
  virtual std::optional<int64_t> bestLag(std::span<const float> mic,
                                         std::span<const float> reference, int64_t at,
                                         int64_t window, int64_t center, int64_t radius) = 0;
};

// Runs the six checks against `subject` and prints their lines and the
// summary; true when all passed.
bool runSelfTestChecks(SelfTestSubject& subject);

// A ratio as printed in a failing line: the shortest decimal that reads back
// as the same float, with at least one digit after the point ("1.0",
// "0.25"), "nan" for not-a-number.
std::string formatSelfTestRatio(float ratio);
