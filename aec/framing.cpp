#include "aec/framing.hpp"

using namespace aec;

const float* FrameReader::frameAt(int64_t at) {
  if (!loaded_ || at < begin_ || at - begin_ > kReadWindow - kFrame) {
    source_.read(at, kReadWindow, window_.data());
    begin_ = at;
    loaded_ = true;
  }
  return window_.data() + (at - begin_);
}

// Loops of a fixed trip count (a multiple of the vector width): the compiler
// turns them into vector code at -O2 with no scalar remainder.
void windowFrame(const float* __restrict samples, const StftWindow& win, float* __restrict out) {
  const float* __restrict w = win.data();
  for (int64_t n = 0; n < kFrame; ++n) out[n] = samples[n] * w[n];
}

void OverlapAdd::add(const float* __restrict t, const StftWindow& win, float* __restrict head) {
  const float* __restrict w = win.data();
  float* __restrict carry = carry_.data();
  for (int64_t n = 0; n < kHop; ++n) head[n] = carry[n] + (t[n] * kInverseScale) * w[n];
  for (int64_t n = 0; n < kHop; ++n) carry[n] = 0.0f + (t[kHop + n] * kInverseScale) * w[kHop + n];
}
