#pragma once

#include <cstdint>

#include "aec/aec_constants.hpp"
#include "aec/aligned_buffer.hpp"
#include "aec/sample_source.hpp"
#include "aec/stft_window.hpp"

// Framing and overlap-add of the short-time analysis: frames of 1024
// samples every 512, weighted with the square root of a Hann window; the
// synthesised frames are weighted again and added half a frame apart (the
// two windows multiply to a Hann window, and Hann windows half a frame apart
// add up to 1).

// Frames of one track for starts that mostly move forward: the samples come
// from a window of the source that is read again only when a frame leaves it.
class FrameReader {
 public:
  explicit FrameReader(const SampleSource& source) : source_(source) {}
  // The kFrame samples from `at` (0 outside the track); valid until the
  // next call.
  const float* frameAt(int64_t at);

 private:
  const SampleSource& source_;
  AlignedVector<float> window_ = AlignedVector<float>(aec::kReadWindow);
  int64_t begin_ = 0;
  bool loaded_ = false;
};

// out[n] = samples[n] * win[n].
void windowFrame(const float* samples, const StftWindow& win, float* out);

// Overlap-add of synthesised frames. The output track starts as zeros and
// each frame t adds (t[n] * 1/1024) * win[n] at its position, so a sample is
// 0 + (earlier frame's part) + (this frame's part). `carry` holds 0 + (the
// earlier frame's part) for the frame's first half: the same sums in the
// same order, each output sample finished once.
class OverlapAdd {
 public:
  // Writes the finished first half of frame t to `head` (kHop samples) and
  // keeps its second half's share for the next frame.
  void add(const float* t, const StftWindow& win, float* head);

 private:
  AlignedVector<float> carry_ = AlignedVector<float>(aec::kHop, 0.0f);
};
