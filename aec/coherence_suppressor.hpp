#pragma once

#include <complex>

#include "aec/aec_constants.hpp"
#include "aec/aligned_buffer.hpp"

// The coherence gain of the canceller. While the reference carries energy,
// each bin's smoothed cross-spectrum and powers give the magnitude-squared
// coherence g2 of microphone and reference; the bin is scaled by
// sqrt(1 - 1.5 * g2), never below 0.08. Sound that is not in the reference
// is incoherent with it and passes. The averages carry over from frame to
// frame; reset() starts a new track.
class CoherenceSuppressor {
 public:
  CoherenceSuppressor() { reset(); }
  void reset();

  // One frame with an active reference: updates the averages of bins
  // 1 ... 512 from the half spectra M (microphone) and Y (reference) and the
  // reference power per bin pw, writes M with each bin's gain applied into O
  // (bin 0, the mean, is never scaled) and returns the frame's largest
  // coherence. `engaged` says whether any bin was scaled below 0.9999.
  float suppress(const std::complex<float>* M, const std::complex<float>* Y, const float* pw,
                 std::complex<float>* O, bool& engaged);

 private:
  // Smoothed spectra: cross-spectrum M*conj(Y) (real, imaginary),
  // microphone power, reference power.
  AlignedVector<float> sxyRe_ = AlignedVector<float>(aec::kFrame);
  AlignedVector<float> sxyIm_ = AlignedVector<float>(aec::kFrame);
  AlignedVector<float> sxx_ = AlignedVector<float>(aec::kFrame);
  AlignedVector<float> syy_ = AlignedVector<float>(aec::kFrame);
};
