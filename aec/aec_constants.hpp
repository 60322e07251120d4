#pragma once

#include <cstddef>
#include <cstdint>

// Every size and tuning constant of the echo canceller, in one place. The
// relations the code relies on are stated as static_asserts below.
namespace aec {

// Short-time analysis: 1024-sample frames every 512 samples; spectra are
// held as the bins 0 ... 512 of real-input transforms.
inline constexpr int64_t kFrame = 1024;
inline constexpr int64_t kHop = 512;
inline constexpr int64_t kBins = kFrame / 2;  // bins 1 ... 512 are worked on
inline constexpr size_t kHalfSpectrum = static_cast<size_t>(kBins + 1);
// Undoes the unscaled forward/inverse pair of the short transforms (1/1024).
inline constexpr float kInverseScale = 0.0009765625f;

// Frames are cut from windows of this many samples read from each track.
inline constexpr int64_t kReadWindow = int64_t{1} << 16;

// Spectral averages: weight of the old value; the new value's weight is
// 1 - 0.85 evaluated in float (0.14999998 rather than 0.15).
inline constexpr float kAvgLambda = 0.85f;
inline constexpr float kAvgMu = 1.0f - kAvgLambda;
// Gain rule: sqrt(1 - overSub * coherence^2), never below floorEcho; gains at
// or above kPassGain leave the bin untouched.
inline constexpr float kOverSub = 1.5f;
inline constexpr float kFloorEcho = 0.08f;
inline constexpr float kPassGain = 0.9999f;
// Keeps the coherence finite where both powers are 0.
inline constexpr float kCoherenceEps = 1e-12f;
// The reference counts as active in a frame above this spectral energy
// (about -87 dBFS for a steady signal, since the energy is about 524,288
// times the frame's mean square).
inline constexpr float kActiveEnergy = 0.001f;
// A result is kept when its mean square is at most 4 times the input's
// (about +6 dB) plus kSanityMargin.
inline constexpr float kSanityFactor = 4.0f;
inline constexpr float kSanityMargin = 0.000001f;

// Delay search: one search per ten-second segment over the segment's own
// samples; the first covers +-2 s around no delay, later ones +-0.3 s (at
// least one frame) around the delay in force, so the track follows drift.
inline constexpr double kSegmentSeconds = 10.0;
inline constexpr double kFirstRadiusSeconds = 2.0;
inline constexpr double kLaterRadiusSeconds = 0.3;
inline constexpr int64_t kMinSpan = kFrame;  // shortest segment and later radius
// Long transform of the delay search; at most half of it is filled, so that
// lags of magnitude below N - n do not wrap around the circular correlation.
inline constexpr int64_t kCorrN = int64_t{1} << 20;
inline constexpr size_t kCorrHalfSpectrum = static_cast<size_t>(kCorrN / 2 + 1);
inline constexpr int64_t kMaxStretch = kCorrN / 2;
// A stretch quieter than a mean square of 1e-6 (RMS 0.001, -60 dBFS) has
// nothing to correlate.
inline constexpr float kQuietMeanSquare = 0.000001f;
// Keeps the phase weighting finite where the cross-spectrum is 0.
inline constexpr float kPhatEps = 0.000001f;
// The peak must reach this multiple of the correlation's RMS.
inline constexpr float kPeakOverRms = 3.0f;
inline constexpr float kRmsEps = 1e-9f;
// The phase transform works through blocks of bins that stay in cache.
inline constexpr int64_t kPhatBlock = 2048;

// Diagnostics: at most this many delays are shown; below kSilentMeanSquare
// a track counts as silent and its level change is reported as 0 dB.
inline constexpr size_t kShownDelays = 6;
inline constexpr float kSilentMeanSquare = 1e-12f;

static_assert(kHop * 2 == kFrame, "frames overlap by half: Hann windows a hop apart sum to 1");
static_assert(kBins % 4 == 0, "the coherence kernel works on four bins at a time");
static_assert(kBins % 8 == 0, "the frame energy estimate runs eight lanes");
static_assert((kCorrN & (kCorrN - 1)) == 0, "lags are reduced mod N with a mask");
static_assert(kMaxStretch * 2 == kCorrN, "the correlation length is twice the longest stretch");
static_assert((kCorrN / 2) % kPhatBlock == 0, "the phase transform's blocks tile the spectrum");
static_assert(kCorrHalfSpectrum * 2 >= static_cast<size_t>(kCorrN),
              "the correlation fits in the memory of a half spectrum");
static_assert(kReadWindow >= kFrame, "a frame fits in a read window");
static_assert(kMinSpan >= kFrame, "a segment holds at least one frame");

}  // namespace aec
