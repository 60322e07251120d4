#pragma once

#include <complex>
#include <cstdint>

#include "aec/aligned_buffer.hpp"
#include "aec/echo_canceller.hpp"

inline constexpr int64_t kCorrN = EchoCanceller::corrN;
inline constexpr size_t kCorrHalfSpectrum = static_cast<size_t>(kCorrN / 2 + 1);

// The long-transform arrays of a delay search (private to the canceller):
// allocated once per process call and reused by every segment's search.
// They are all zero when handed over; `dirtyMic`/`dirtyRef` record how far
// the last search wrote into the two input arrays, so the next one clears
// only what it does not overwrite.
struct EchoCanceller::LagScratch {
  AlignedVector<float> micRe = AlignedVector<float>(kCorrN);
  AlignedVector<float> refRe = AlignedVector<float>(kCorrN);
  AlignedVector<std::complex<float>> M = AlignedVector<std::complex<float>>(kCorrHalfSpectrum);
  AlignedVector<std::complex<float>> Y = AlignedVector<std::complex<float>>(kCorrHalfSpectrum);
  AlignedVector<float> corr = AlignedVector<float>(kCorrN);
  int64_t dirtyMic = 0;
  int64_t dirtyRef = 0;
};
