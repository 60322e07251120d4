#pragma once

#include <cstdint>
#include <complex>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "aec/aligned_buffer.hpp"
#include "aec/dft.hpp"

// What the residual suppressor did.
struct SuppressorStats {
  int64_t frames = 0;   // frames processed
  int64_t engaged = 0;  // frames in which some bin was attenuated
};

// Takes out what the linear filter left of the echo: per short-time bin it
// estimates the residual echo power as the filter's echo estimate times a
// tracked leak ratio, or as the share of the error coherent with the echo
// estimate where that is more (a path the filter has not caught up with),
// and attenuates the bin by how much of its power that residual explains.
// Bins without an echo estimate pass untouched. A copy carries on from the
// original's state on its own.
class ResidualSuppressor {
 public:
  static constexpr int64_t kFrame = 1024;  // STFT frame
  static constexpr int64_t kHop = kFrame / 2;
  static constexpr int64_t kBins = kFrame / 2 + 1;
  static_assert(kHop * 2 == kFrame);

  // A suppressor, or nullptr when a transform cannot be prepared.
  static std::unique_ptr<ResidualSuppressor> create(DftFactory& factory);

  // Takes the next samples of the filter's error and of its echo estimate
  // (as many of each) and appends to `out` the output samples that are
  // complete: the error with the residual echo taken out.
  void push(std::span<const float> error, std::span<const float> echo, std::vector<float>& out);
  // Appends the rest, so that `out` has gained one sample per sample pushed.
  void finish(std::vector<float>& out);

  const SuppressorStats& stats() const { return stats_; }

 private:
  ResidualSuppressor(std::shared_ptr<Dft> fwd, std::shared_ptr<Dft> inv);
  void windowed(const std::vector<float>& x, float* frame) const;
  bool gains();
  void processFrames(std::vector<float>& out);

  // Shared by copies: a transform may run on several threads at once.
  std::shared_ptr<Dft> fwd_;
  std::shared_ptr<Dft> inv_;
  std::vector<float> win_;
  AlignedVector<float> frame_;  // transform arrays, aligned as the transforms require
  AlignedVector<std::complex<float>> E_;
  AlignedVector<std::complex<float>> Y_;
  std::vector<float> errorPower_;  // smoothed |E|^2 per bin
  std::vector<float> echoPower_;   // smoothed |Y|^2 per bin
  std::vector<float> leak_;        // residual echo power / echo estimate power
  // Slower averages for the coherence of E with Y: |E|^2, |Y|^2, E conj(Y).
  std::vector<float> cohError_;
  std::vector<float> cohEcho_;
  std::vector<std::complex<float>> cohCross_;
  std::vector<float> residual_;     // this frame's residual echo power per bin
  std::vector<float> gain_;
  float frameLeak_ = 1.0f;         // recent minimum of the frame-wide ratio
  int64_t framesAbove_ = 0;        // frames since one counted as echo only
  int64_t nearHold_ = 0;           // frames the near end still counts as talking
  float noiseFloor_ = std::numeric_limits<float>::max();  // recent minimum of the frame's error power
  // Samples waiting for their frames; the first frame starts a hop before
  // the track, so both start with a hop of zeros.
  std::vector<float> pendingError_;
  std::vector<float> pendingEcho_;
  std::vector<float> carry_;        // second half of the last synthesised frame
  int64_t frameStart_ = -kHop;      // track position of pending[0]
  int64_t pushed_ = 0;
  SuppressorStats stats_;
};
