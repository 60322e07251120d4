#pragma once

#include <cstdint>
#include <complex>
#include <memory>
#include <span>
#include <vector>

#include "aec/dft.hpp"

// What the residual suppressor did.
struct SuppressorStats {
  int64_t frames = 0;   // frames processed
  int64_t engaged = 0;  // frames in which some bin was attenuated
};

// Takes out what the linear filter left of the echo: per short-time bin it
// estimates the residual echo power as the filter's echo estimate times a
// tracked leak ratio, and attenuates the bin by how much of its power that
// residual explains. Bins without an echo estimate pass untouched.
class ResidualSuppressor {
 public:
  static constexpr int64_t kFrame = 1024;  // STFT frame
  static constexpr int64_t kHop = kFrame / 2;
  static constexpr int64_t kBins = kFrame / 2 + 1;
  static_assert(kHop * 2 == kFrame);

  // A suppressor, or nullptr when a transform cannot be prepared.
  static std::unique_ptr<ResidualSuppressor> create(DftFactory& factory);

  // out[t] for t < error.size(): the filter's error with the residual echo
  // taken out; echo is the filter's echo estimate, as long as error.
  SuppressorStats run(std::span<const float> error, std::span<const float> echo, std::span<float> out);

 private:
  ResidualSuppressor(std::unique_ptr<Dft> fwd, std::unique_ptr<Dft> inv);
  void windowed(std::span<const float> x, int64_t start, float* frame) const;
  bool gains();

  std::unique_ptr<Dft> fwd_;
  std::unique_ptr<Dft> inv_;
  std::vector<float> win_;
  std::vector<float> frame_;
  std::vector<std::complex<float>> E_;
  std::vector<std::complex<float>> Y_;
  std::vector<float> errorPower_;  // smoothed |E|^2 per bin
  std::vector<float> echoPower_;   // smoothed |Y|^2 per bin
  std::vector<float> leak_;        // residual echo power / echo estimate power
  std::vector<float> gain_;
  float frameLeak_ = 1.0f;         // recent minimum of the frame-wide ratio
};
