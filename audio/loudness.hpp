#pragma once

#include <memory>
#include <optional>
#include <span>

// Loudness levelling: the gain that brings a track's integrated loudness
// (ITU-R BS.1770, gated) to a target in LUFS, lowered where needed so that
// its true peak stays at or below -1 dBTP.
struct LoudnessPlan {
  std::optional<double> measured;  // nothing: silence, or too short to gate
  float gain = 1.0f;
  double result = 0.0;  // the loudness after the gain, when measured
};

// Measures one mono track as its samples are added in order.
class LoudnessMeter {
 public:
  explicit LoudnessMeter(double sampleRate);
  ~LoudnessMeter();
  LoudnessMeter(LoudnessMeter&&) noexcept;
  LoudnessMeter& operator=(LoudnessMeter&&) noexcept;

  void add(std::span<const float> samples);
  // Integrated loudness in LUFS; nothing for silence or a track too short
  // to gate (or a rate the meter cannot take).
  std::optional<double> integrated() const;
  // The highest true peak so far, as a linear level (1.0 is full scale).
  double truePeak() const;
  // The plan for `targetLufs` over what was added.
  LoudnessPlan plan(double targetLufs) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The plan for a track of this loudness and true peak.
LoudnessPlan planLoudness(std::optional<double> measured, double truePeak, double targetLufs);

// "loudness: -30.0 LUFS × gain 5.01 → -16.0 LUFS", or the line of a track
// left as it is.
void logLoudness(const LoudnessPlan& plan);
