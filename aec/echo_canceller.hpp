#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "aec/aec_diagnostics.hpp"
#include "aec/delay_track.hpp"
#include "aec/dft.hpp"

// Removes from a microphone track the echo of a reference track (what the
// loudspeakers played): it estimates the acoustic delay by cross-correlation
// and attenuates each short-time frequency bin by a gain derived from the
// smoothed microphone/reference coherence. One instance serves one call at a
// time on its caller's thread; create one per job.
class EchoCanceller {
 public:
  // From microphone sample `start` on, the echo comes `delay` samples late.
  using Seg = DelaySeg;

  static constexpr int64_t frame = 1024;     // STFT frame, also the short transform size
  static constexpr int64_t hop = 512;        // distance between frame starts
  static constexpr int64_t corrN = 1 << 20;  // long transform size of the delay search
  static constexpr float avgLambda = 0.85f;  // weight of the old value in the spectral averages
  static constexpr float overSub = 1.5f;     // over-subtraction factor of the gain rule
  static constexpr float floorEcho = 0.08f;  // smallest gain applied to a suppressed bin

  // A ready canceller, or nullptr when one of its four transforms cannot be
  // prepared.
  static std::unique_ptr<EchoCanceller> create();
  // The same with the transforms taken from `factory`; the canceller owns
  // what the factory made, the factory itself need not outlive it.
  static std::unique_ptr<EchoCanceller> create(DftFactory& factory);

  ~EchoCanceller();
  EchoCanceller(const EchoCanceller&) = delete;
  EchoCanceller& operator=(const EchoCanceller&) = delete;

  // The cleaned microphone track, one output sample per microphone sample;
  // the microphone unchanged when either track is shorter than one frame,
  // the rate is not positive, or the result fails the sanity check. Writes
  // one "[aec] " diagnostics line (console and log) except on the early return.
  std::vector<float> process(std::span<const float> mic, std::span<const float> reference,
                             double sampleRate);

  // The lag (in samples, positive when the microphone lags the reference) in
  // center - radius ... center + radius with the strongest phase-transform
  // weighted cross-correlation of mic and reference over `window` samples
  // from `at`; nothing when the microphone stretch is too quiet or the peak
  // does not stand out. window and radius must not be negative.
  std::optional<int64_t> bestLag(std::span<const float> mic, std::span<const float> reference,
                                 int64_t at, int64_t window, int64_t center,
                                 int64_t radius) const;

  // The analysis/synthesis window.
  const std::array<float, frame>& window() const { return win_; }

  // What the last process call counted (zero before the first call).
  int64_t dFrames() const { return stats_.frames; }
  int64_t dFarEnd() const { return stats_.farEnd; }
  int64_t dActive() const { return stats_.active; }
  float dCohSum() const { return stats_.cohSum; }
  float dCohMax() const { return stats_.cohMax; }

 private:
  struct LagScratch;
  struct FrameScratch;

  EchoCanceller(std::unique_ptr<Dft> fwd, std::unique_ptr<Dft> inv, std::unique_ptr<Dft> corrFwd,
                std::unique_ptr<Dft> corrInv);

  std::optional<int64_t> bestLagWith(LagScratch& scratch, std::span<const float> mic,
                                     std::span<const float> reference, int64_t at, int64_t window,
                                     int64_t center, int64_t radius) const;
  float processFrame(FrameScratch& s, bool& engaged);
  void emitDiagnostics(const std::vector<Seg>& segs, double sampleRate, bool applied,
                       float meanSquareOriginal, float meanSquareCleaned) const;

  std::unique_ptr<Dft> fwd_;
  std::unique_ptr<Dft> inv_;
  std::unique_ptr<Dft> corrFwd_;
  std::unique_ptr<Dft> corrInv_;
  std::array<float, frame> win_;
  // Smoothed spectra, bins 1 ... 512 used: cross-spectrum M*conj(Y) (real,
  // imaginary), microphone power, reference power.
  std::vector<float> sxyRe_;
  std::vector<float> sxyIm_;
  std::vector<float> sxxAvg_;
  std::vector<float> syyAvg_;
  AecStats stats_;
};
