#include "modes/self_test.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "aec/echo_canceller.hpp"
#include "base/console.hpp"

namespace {

constexpr double kRate = 48000.0;

// The one pseudo-random sequence of a run (a 64-bit linear congruential
// generator); every draw of every check comes from it, in a fixed order, so
// two runs see the same signals.
class SelfTestRandom {
 public:
  // One draw: u in [0, 1) from the upper 32 bits of the new state, in float.
  float nextUnit() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<float>(static_cast<uint32_t>(state_ >> 32)) * 2.3283064365386963e-10f;
  }

  // `count` values in [-amplitude, amplitude), in draw order.
  std::vector<float> noise(size_t count, float amplitude) {
    std::vector<float> out(count);
    for (float& v : out) {
      const float u = nextUnit();
      v = amplitude * ((u + u) - 1.0f);
    }
    return out;
  }

 private:
  uint64_t state_ = 0x9E3779B97F4A7C15ULL;
};

// sqrt(sum of p[i]^2 / N) over [a, b), the sum in float in index order.
float rms(std::span<const float> p, size_t a, size_t b) {
  float sum = 0.0f;
  for (size_t i = a; i < b; ++i) sum += p[i] * p[i];
  return std::sqrt(sum / static_cast<float>(b - a));
}

// rms(p) / (rms(q) + 1e-9) over [a, b); NaN when p is too short to measure
// there, which fails any check.
float levelRatio(std::span<const float> p, std::span<const float> q, size_t a, size_t b) {
  if (p.size() < b || q.size() < b) return std::nanf("");
  return rms(p, a, b) / (rms(q, a, b) + 1e-9f);
}

// Prints the verdict line of one check and returns whether it passed.
bool verdict(bool pass, const char* name, const std::string& detail) {
  if (pass) {
    logErr(std::string("[self-test] PASS: ") + name);
  } else {
    logErr(std::string("[self-test] FAIL: ") + name + " \u2014 " + detail);
  }
  return pass;
}

bool checkRoundtrip(SelfTestSubject& c, SelfTestRandom& rng) {
  const size_t n = 48000;
  const std::vector<float> mic = rng.noise(n, 0.3f);
  const std::vector<float> reference(n, 0.0f);
  const std::vector<float> x = c.process(mic, reference, kRate);
  const size_t a = 2048, b = n - 2048;
  float rel = std::nanf("");
  if (x.size() >= b) {
    float sum = 0.0f;
    for (size_t i = a; i < b; ++i) {
      const float diff = mic[i] - x[i];
      sum += diff * diff;
    }
    rel = std::sqrt(sum / static_cast<float>(b - a)) / (rms(mic, a, b) + 1e-9f);
  }
  return verdict(rel < 0.05f, "stft-roundtrip-identity", "rel=" + formatSelfTestRatio(rel));
}

bool checkDelay(SelfTestSubject& c, SelfTestRandom& rng) {
  constexpr int64_t kTrueDelay = 733;
  const std::vector<float> reference = rng.noise(120000, 0.3f);
  std::vector<float> mic(reference.size(), 0.0f);
  for (size_t i = kTrueDelay; i < mic.size(); ++i) mic[i] = reference[i - kTrueDelay] * 0.6f;
  const std::optional<int64_t> est = c.bestLag(mic, reference, 0, 60000, 0, 4000);
  const bool pass = est.has_value() && std::llabs(*est - kTrueDelay) <= 3;
  const std::string shown =
      est ? "Optional(" + std::to_string(*est) + ")" : std::string("nil");
  return verdict(pass, "delay-estimation",
                 "est=" + shown + " want=" + std::to_string(kTrueDelay));
}

bool checkPureEcho(SelfTestSubject& c, SelfTestRandom& rng) {
  const std::vector<float> reference = rng.noise(96000, 0.5f);
  std::vector<float> mic(reference.size());
  for (size_t i = 0; i < mic.size(); ++i) mic[i] = reference[i] * 0.5f;
  const std::vector<float> x = c.process(mic, reference, kRate);
  const float residual = levelRatio(x, mic, 20000, 86000);
  return verdict(residual < 0.5f, "pure-echo-suppression",
                 "residual=" + formatSelfTestRatio(residual));
}

bool checkDoubleTalk(SelfTestSubject& c, SelfTestRandom& rng) {
  const std::vector<float> reference = rng.noise(96000, 0.5f);
  std::vector<float> mic(reference.size());
  for (size_t i = 0; i < mic.size(); ++i) {
    // A 1000 Hz near-end tone.
    const float phase = (static_cast<float>(i) * 6283.185f) / 48000.0f;
    mic[i] = reference[i] * 0.5f + std::sin(phase) * 0.5f;
  }
  const std::vector<float> x = c.process(mic, reference, kRate);
  const float retained = levelRatio(x, mic, 20000, 86000);
  return verdict(retained > 0.5f, "double-talk-voice-protection",
                 "retained=" + formatSelfTestRatio(retained));
}

bool checkUncorrelated(SelfTestSubject& c, SelfTestRandom& rng) {
  const std::vector<float> mic = rng.noise(60000, 0.3f);
  const std::vector<float> reference = rng.noise(60000, 0.3f);
  const std::vector<float> x = c.process(mic, reference, kRate);
  const float retained = levelRatio(x, mic, 5000, 55000);
  return verdict(retained > 0.85f, "uncorrelated-ref-unchanged",
                 "retained=" + formatSelfTestRatio(retained));
}

bool checkRealisticEcho(SelfTestSubject& c, SelfTestRandom& rng) {
  // A 240-sample (5 ms) delay, a decaying echo path and a little
  // independent noise; one draw per sample, also before the echo starts.
  const std::vector<float> reference = rng.noise(96000, 0.5f);
  std::vector<float> mic(reference.size());
  float e = 0.0f;
  for (size_t i = 0; i < mic.size(); ++i) {
    const float s = i >= 240 ? reference[i - 240] * 0.4f : 0.0f;
    const float u = rng.nextUnit();
    e = e * 0.6f + s;
    mic[i] = e * 0.5f + (u * 2.0f - 1.0f) * 0.05f;
  }
  const std::vector<float> x = c.process(mic, reference, kRate);
  const float residual = levelRatio(x, mic, 20000, 86000);
  return verdict(residual < 0.7f, "realistic-echo-suppression",
                 "residual=" + formatSelfTestRatio(residual));
}

class CancellerSubject final : public SelfTestSubject {
 public:
  explicit CancellerSubject(EchoCanceller& c) : c_(c) {}
  std::vector<float> process(std::span<const float> mic, std::span<const float> reference,
                             double sampleRate) override {
    AecResult result = c_.process(mic, reference, sampleRate);
    if (result.stats) {
      const std::string line = formatAecLine(*result.stats);
      logErr(line);
      appendAecLog(line);
    }
    return std::move(result.cleaned);
  }
  std::optional<int64_t> bestLag(std::span<const float> mic, std::span<const float> reference,
                                 int64_t at, int64_t window, int64_t center,
                                 int64_t radius) override {
    return c_.bestLag(mic, reference, at, window, center, radius);
  }

 private:
  EchoCanceller& c_;
};

}  // namespace

std::string formatSelfTestRatio(float ratio) {
  if (std::isnan(ratio)) return "nan";
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, ratio);
  std::string text(buf, ec == std::errc() ? end : buf);
  // Integral values ("1") and infinities get no point of their own from the
  // shortest form; the point and a zero digit are added to the former.
  if (text.find_first_of(".eni") == std::string::npos) text += ".0";
  return text;
}

bool runSelfTestChecks(SelfTestSubject& subject) {
  SelfTestRandom rng;
  bool pass = true;
  // Each check runs in turn whatever the previous ones gave; their draws
  // follow one another from the shared generator.
  pass = checkRoundtrip(subject, rng) && pass;
  pass = checkDelay(subject, rng) && pass;
  pass = checkPureEcho(subject, rng) && pass;
  pass = checkDoubleTalk(subject, rng) && pass;
  pass = checkUncorrelated(subject, rng) && pass;
  pass = checkRealisticEcho(subject, rng) && pass;
  logErr(pass ? "[self-test] ALL PASS" : "[self-test] FAILURES PRESENT");
  return pass;
}

bool runEchoCancellerSelfTests() { return runEchoCancellerSelfTests(fftwDftFactory()); }

bool runEchoCancellerSelfTests(DftFactory& factory) {
  std::unique_ptr<EchoCanceller> canceller = EchoCanceller::create(factory);
  if (!canceller) {
    logErr("[self-test] FAIL: EchoCanceller init");
    return false;
  }
  CancellerSubject subject(*canceller);
  return runSelfTestChecks(subject);
}
