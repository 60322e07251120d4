#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "aec/cached_source.hpp"
#include "aec/delay_track.hpp"

// The reference read on the microphone's clock. The delay track gives a
// whole-sample delay per segment; when the microphone runs on its own clock
// the true delay slides a little every second (50 ppm: a sample every 0.4 s
// at 48 kHz), and a filter that holds its weights through double talk would
// lose the echo within a second. So the delay in force is a continuous line
// whose slope is fitted to the track's recent records, and the reference is
// read at fractional positions along it (windowed-sinc interpolation): the
// echo path the filter sees stands still. A record far off the line is a
// step of the path, which the filter's weights follow by a whole shift.
class ReferenceClock {
 public:
  // Moves of the track larger than this (1 ms at 48 kHz) are steps, not drift.
  static constexpr int64_t kStepSamples = 48;
  static constexpr int64_t kTaps = 16;  // interpolation kernel, half before and half after
  static constexpr int64_t kPhases = 512;  // fractions it is tabled for (the nearest is used)

  ReferenceClock();

  // Starts a pass at sample `at`: the last pass's line (its slope and the
  // records it was fitted to) carried back to `at` when it is within a step
  // of `delay`, else a new line at `delay` with the slope learned so far.
  void start(int64_t at, int64_t delay);
  // Takes the track's record that starts at `seg.start`, at that sample: a
  // new slope, or for a step a new start at the record's delay.
  void follow(const DelaySeg& seg);
  // out[i] = the reference at microphone sample t0 + i - the delay + lead,
  // zero outside the reference.
  void read(CachedSource& reference, int64_t t0, int64_t lead, std::span<float> out) const;
  // The delay in force at sample t, in samples.
  double delayAt(int64_t t) const;

 private:
  static constexpr int64_t kFitRecords = 6;
  std::array<DelaySeg, kFitRecords> fit_{};  // the latest records since a step, oldest first
  int64_t fitCount_ = 0;
  int64_t anchor_ = 0;     // the delay in force is delay_ at sample anchor_
  double delay_ = 0.0;
  double rate_ = 0.0;
  bool running_ = false;   // a line has been started
  // kernel_[p * kTaps + j]: the weight of sample n - kTaps/2 + 1 + j at
  // position n + p / kPhases, p = 0 ... kPhases (a 1/1024-sample error at
  // most: -50 dB at 8 kHz).
  std::array<float, (kPhases + 1) * kTaps> kernel_{};
};
