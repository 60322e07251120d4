#pragma once

#include <cstdint>
#include <optional>

#include "aec/dft.hpp"
#include "aec/large_buffer.hpp"
#include "aec/sample_source.hpp"

// Delay search: generalised cross-correlation of microphone and reference
// with phase-transform weighting (GCC-PHAT). A search has two halves: the
// correlation of a stretch, which depends only on where the stretch lies and
// can run anywhere ahead of time, and the peak pick within center +- radius,
// which depends on the delay found before it.

// The correlation of one stretch, ready for peak picks.
class StretchCorrelation {
 public:
  StretchCorrelation();
  // Nothing to pick from: the microphone stretch was too quiet or empty.
  bool quiet = true;
  int64_t stretch = 0;  // samples correlated
  float rms = 0.0f;     // root mean square of the whole correlation
  // N floats; while the correlation is made, the reference spectrum.
  std::complex<float>* spectrum() const { return memory_.as<std::complex<float>>(); }
  float* values() const { return memory_.as<float>(); }

 private:
  LargeBuffer memory_;
};

// Makes correlations with a pair of long transforms, which it uses but does
// not own. One per thread; the transforms may be shared.
class LagCorrelator {
 public:
  LagCorrelator(Dft& forward, Dft& inverse);
  // The phase-transform weighted cross-correlation of mic and reference over
  // `window` samples (at most N/2) from `at`.
  void correlate(const SampleSource& mic, const SampleSource& reference, int64_t at,
                 int64_t window, StretchCorrelation& out);

 private:
  Dft& forward_;
  Dft& inverse_;
  // The stretch being transformed, and the microphone's spectrum, which
  // becomes the weighted cross-spectrum. `dirty` records how far the last
  // load wrote into `stretch`, so the next one clears only what it must.
  LargeBuffer stretchMemory_;
  LargeBuffer mMemory_;
  int64_t dirty_ = 0;
};

// The lag (positive when the microphone lags the reference) in
// center - radius ... center + radius with the strongest correlation; ties
// keep the smaller lag. Nothing when the stretch was quiet or the peak does
// not reach three times the correlation's RMS.
std::optional<int64_t> pickLag(const StretchCorrelation& c, int64_t center, int64_t radius);
