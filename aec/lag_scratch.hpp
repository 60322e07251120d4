#pragma once

#include <complex>
#include <cstdint>

#include "aec/echo_canceller.hpp"
#include "aec/large_buffer.hpp"

inline constexpr int64_t kCorrN = EchoCanceller::corrN;
inline constexpr size_t kCorrHalfSpectrum = static_cast<size_t>(kCorrN / 2 + 1);

// The long-transform arrays of a delay search (private to the canceller):
// allocated once per process call and reused by every segment's search.
// Three arrays serve the five roles, so that a search walks 12 MiB rather
// than 20 (the long transforms run markedly faster on data still in cache):
// `stretch` takes the microphone stretch, then, once its spectrum is in `M`,
// the reference stretch, whose spectrum goes to `Y`; the correlation (N
// floats, which fit in N/2 + 1 complex bins) goes back into `Y`'s memory.
// The arrays are LargeBuffers (huge pages where the kernel grants them);
// `stretch` starts as zeros; `dirty` records how far the last load wrote
// into it, so the next one clears only what it does not overwrite.
struct EchoCanceller::LagScratch {
  LargeBuffer stretchMemory{sizeof(float) * kCorrN};
  LargeBuffer mMemory{sizeof(std::complex<float>) * kCorrHalfSpectrum};
  LargeBuffer yMemory{sizeof(std::complex<float>) * kCorrHalfSpectrum};
  float* const stretch = stretchMemory.as<float>();
  std::complex<float>* const M = mMemory.as<std::complex<float>>();
  std::complex<float>* const Y = yMemory.as<std::complex<float>>();
  int64_t dirty = 0;

  float* correlation() { return reinterpret_cast<float*>(Y); }
};
static_assert(sizeof(std::complex<float>) * kCorrHalfSpectrum >= sizeof(float) * kCorrN,
              "the correlation fits in the memory of a half spectrum");
