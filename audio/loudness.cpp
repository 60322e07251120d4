#include "audio/loudness.hpp"

#include <ebur128.h>

#include <cmath>

#include "base/console.hpp"

namespace {

// The ceiling of the true peak, in dBTP: one decibel under full scale
// leaves room for the overshoot of a lossy decoder.
constexpr double kTruePeakCeilingDb = -1.0;

double dbToLinear(double db) { return std::pow(10.0, db / 20.0); }

}  // namespace

struct LoudnessMeter::State {
  ebur128_state* meter = nullptr;
  ~State() {
    if (meter) ebur128_destroy(&meter);
  }
};

LoudnessMeter::LoudnessMeter(double sampleRate) : state_(std::make_unique<State>()) {
  if (std::isfinite(sampleRate) && sampleRate >= 1.0 && sampleRate < 4294967296.0)
    state_->meter = ebur128_init(1, static_cast<unsigned long>(sampleRate), EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
}
LoudnessMeter::~LoudnessMeter() = default;
LoudnessMeter::LoudnessMeter(LoudnessMeter&&) noexcept = default;
LoudnessMeter& LoudnessMeter::operator=(LoudnessMeter&&) noexcept = default;

void LoudnessMeter::add(std::span<const float> samples) {
  if (state_->meter && !samples.empty()) ebur128_add_frames_float(state_->meter, samples.data(), samples.size());
}

std::optional<double> LoudnessMeter::integrated() const {
  double lufs = 0.0;
  if (!state_->meter || ebur128_loudness_global(state_->meter, &lufs) != EBUR128_SUCCESS) return std::nullopt;
  if (!std::isfinite(lufs)) return std::nullopt;  // nothing above the absolute gate
  return lufs;
}

double LoudnessMeter::truePeak() const {
  double peak = 0.0;
  if (!state_->meter || ebur128_true_peak(state_->meter, 0, &peak) != EBUR128_SUCCESS) return 0.0;
  return peak;
}

LoudnessPlan LoudnessMeter::plan(double targetLufs) const {
  return planLoudness(integrated(), truePeak(), targetLufs);
}

LoudnessPlan planLoudness(std::optional<double> measured, double truePeak, double targetLufs) {
  LoudnessPlan plan;
  if (!measured) return plan;
  plan.measured = measured;
  double gain = dbToLinear(targetLufs - *measured);
  const double ceiling = dbToLinear(kTruePeakCeilingDb);
  if (truePeak * gain > ceiling) gain = ceiling / truePeak;
  plan.gain = static_cast<float>(gain);
  plan.result = *measured + 20.0 * std::log10(static_cast<double>(plan.gain));
  return plan;
}

void logLoudness(const LoudnessPlan& plan) {
  if (!plan.measured) {
    logErr("loudness: silent or too short to gate — gain 1");
    return;
  }
  logErr(formatLine("loudness: %.1f LUFS × gain %.2f → %.1f LUFS", *plan.measured,
                    static_cast<double>(plan.gain), plan.result));
}
