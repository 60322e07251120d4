#pragma once

#include <cstdint>
#include <complex>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "aec/adaptive_step.hpp"
#include "aec/aligned_buffer.hpp"
#include "aec/cached_source.hpp"
#include "aec/delay_track.hpp"
#include "aec/dft.hpp"
#include "aec/reference_clock.hpp"

// What a pass of the adaptive filter did.
struct AdaptiveFilterStats {
  int64_t blocks = 0;  // blocks filtered
  int64_t adapted = 0; // blocks in which the background filter adapted
  int64_t copies = 0;  // background taken over as the foreground
  int64_t resets = 0;  // background put back to the foreground after straying
  int64_t shifts = 0;  // realignments to a new delay
};

// A linear model of the echo path: a partitioned-block frequency-domain
// adaptive filter (overlap-save, 1024-sample blocks, 14 partitions: 21 ms
// before the delay track's delay and 277 ms after it) run as a pair. The
// background filter adapts on every block with a normalised step; the
// foreground filter, whose output is used, only ever takes over a background
// that has done clearly better, and a background that strays (the near end
// talking) is put back to the foreground. The weights survive between passes,
// so a second pass starts from what the first one learned. The reference is
// read on the microphone's clock (ReferenceClock), so that a drifting delay
// does not move the path the weights model. A copy carries on from what the
// original learned on its own (the transforms, which are safe to share, are
// shared).
class PartitionedEchoFilter {
 public:
  static constexpr int64_t kBlock = 1024;             // samples per block, also the partition length
  static constexpr int64_t kFft = 2 * kBlock;         // overlap-save transform
  static constexpr int64_t kBins = kFft / 2 + 1;      // bins of a real-input spectrum
  static constexpr int64_t kStride = kBins + 3;       // bins padded to a multiple of 4
  static constexpr int64_t kPartitions = 14;          // 14 x 1024 = 299 ms of taps at 48 kHz
  static constexpr int64_t kLead = 1024;            // taps before the delay (the delay may shrink)
  static_assert(kStride % 4 == 0 && kStride >= kBins);

  // A filter with no echo path learned, or nullptr when a transform cannot
  // be prepared.
  static std::unique_ptr<PartitionedEchoFilter> create(DftFactory& factory);

  // Receives the filter's output block by block, in order: the error
  // (mic - echo estimate) and the foreground's echo estimate.
  using BlockSink = std::function<void(std::span<const float> error, std::span<const float> echo)>;

  // Filters mic[0, length) against the reference read through the delay
  // track, handing each block to `sink` (which may be empty). The reference
  // history is rebuilt at the start; the weights carry on from the last call.
  AdaptiveFilterStats run(std::span<const float> mic, std::span<const float> reference,
                          const std::vector<DelaySeg>& track, int64_t length,
                          const BlockSink& sink);
  // The same for the microphone's blocks from `from` (a multiple of kBlock)
  // up to `to`, both tracks read through windows: the microphone reads as 0
  // from `to` on, as from `length` above.
  AdaptiveFilterStats run(CachedSource& mic, CachedSource& reference,
                          const std::vector<DelaySeg>& track, int64_t from, int64_t to,
                          const BlockSink& sink);

  // The foreground's impulse response, kPartitions * kBlock taps; tap n
  // weighs reference sample t - delay + kLead - n for microphone sample t.
  std::vector<float> impulseResponse();

 private:
  PartitionedEchoFilter(std::shared_ptr<Dft> fwd, std::shared_ptr<Dft> inv);

  struct Spectra {
    std::vector<float> re;
    std::vector<float> im;
    explicit Spectra(int64_t rows = kPartitions)
        : re(static_cast<size_t>(rows * kStride), 0.0f), im(static_cast<size_t>(rows * kStride), 0.0f) {}
  };

  void loadReference(CachedSource& reference, int64_t blockStart, int64_t slot,
                     bool continued);
  void rebuildHistory(CachedSource& reference, int64_t blockStart);
  void realign(int64_t shift);
  void filterInto(const Spectra& w, float* out);
  void adapt(const float* error, const float* estimate, AdaptiveFilterStats& stats);
  void constrain(Spectra& w, int64_t partition);
  void forward(const float* in, float* re, float* im);
  void inverse(const float* re, const float* im, float* out);

  // Shared by copies: a transform may run on several threads at once.
  std::shared_ptr<Dft> fwd_;
  std::shared_ptr<Dft> inv_;
  Spectra background_;
  Spectra foreground_;
  Spectra history_;         // reference spectra, newest block in slot head_
  int64_t head_ = 0;
  std::vector<float> refPower_;  // reference power per bin over the filter span
  ReferenceClock clock_;    // the delay in force, sample by sample
  AlignedVector<float> window_;  // the aligned reference of the previous and the current block
  int64_t constrainNext_ = 0;
  float backgroundLevel_ = 0.0f;
  float foregroundLevel_ = 0.0f;
  // Transform scratch, aligned as the transforms require.
  AlignedVector<float> time_;
  AlignedVector<std::complex<float>> bins_;
  std::vector<float> re_;
  std::vector<float> im_;
  std::vector<float> errorPower_;
  std::vector<float> echoPower_;
  std::vector<float> mu_;
  EchoReturnStep step_;
};
