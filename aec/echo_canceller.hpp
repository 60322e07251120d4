#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "aec/aec_diagnostics.hpp"
#include "aec/dft.hpp"
#include "aec/sample_source.hpp"
#include "aec/stft_window.hpp"

// The cleaned microphone track and what the run counted; no statistics when
// the canceller did not run (the track is then the microphone unchanged).
struct AecResult {
  std::vector<float> cleaned;
  std::optional<AecStats> stats;
};

// Removes from a microphone track the echo of a reference track (what the
// loudspeakers played):
//   1. Delay: every ten seconds of microphone the acoustic delay is
//      estimated by a phase-weighted cross-correlation (delay_search.hpp);
//      the first segment searches +-2 s, later ones +-0.3 s around the
//      delay in force (delay_track.hpp).
//   2. Framing: both tracks are cut into windowed frames (framing.hpp); the
//      reference frame is read `delay` samples earlier than the microphone's.
//   3. Coherence gain per bin while the reference carries energy
//      (coherence_suppressor.hpp).
//   4. Synthesis: inverse transform and overlap-add.
//   5. Sanity check: a result louder than four times the input's mean square
//      (about +6 dB), or not finite, is discarded in favour of the input.
// Nothing is printed: the caller reports the statistics (formatAecLine,
// appendAecLog). One instance serves one call at a time; create one per job.
class EchoCanceller {
 public:
  // A ready canceller, or nullptr when one of its four transforms cannot be
  // prepared.
  static std::unique_ptr<EchoCanceller> create();
  // The same with the transforms taken from `factory`; the canceller owns
  // what the factory made, the factory itself need not outlive it.
  static std::unique_ptr<EchoCanceller> create(DftFactory& factory);

  ~EchoCanceller();
  EchoCanceller(const EchoCanceller&) = delete;
  EchoCanceller& operator=(const EchoCanceller&) = delete;

  // Threads for the delay searches: all online processors unless set; 1
  // keeps all the work on the caller's thread. The results never depend on it.
  void setThreads(int threads);

  // The cleaned microphone track, one output sample per microphone sample;
  // the microphone unchanged (and no statistics) when either track is
  // shorter than one frame or the rate is not positive, and the microphone
  // unchanged with stats->applied false when the result fails the sanity check.
  AecResult process(std::span<const float> mic, std::span<const float> reference,
                    double sampleRate);

  // The same over tracks read in stretches: the cleaned track goes to `out`
  // as it is made, mic.size() samples. Without statistics nothing was
  // written; when stats->applied is false, what was written is to be
  // replaced by the microphone.
  std::optional<AecStats> process(const SampleSource& mic, const SampleSource& reference,
                                  double sampleRate, SampleSink& out);

  // The lag (in samples, positive when the microphone lags the reference) in
  // center - radius ... center + radius with the strongest phase-transform
  // weighted cross-correlation of mic and reference over `window` samples
  // from `at`; nothing when the microphone stretch is too quiet or the peak
  // does not stand out. window and radius must not be negative.
  std::optional<int64_t> bestLag(std::span<const float> mic, std::span<const float> reference,
                                 int64_t at, int64_t window, int64_t center, int64_t radius) const;

 private:
  EchoCanceller(std::unique_ptr<Dft> fwd, std::unique_ptr<Dft> inv, std::unique_ptr<Dft> corrFwd,
                std::unique_ptr<Dft> corrInv);

  std::unique_ptr<Dft> fwd_;
  std::unique_ptr<Dft> inv_;
  std::unique_ptr<Dft> corrFwd_;
  std::unique_ptr<Dft> corrInv_;
  StftWindow win_;
  int threads_;
};
