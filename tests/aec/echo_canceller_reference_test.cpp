// The canceller against a plain, literal rendering of the algorithm: full
// 1024-bin spectra (upper bins mirrored), the energy summed over bins
// 1 ... 1023 in order, gains applied to bin k and its mirror, every frame
// recomputing its largest coherence, a direct delay search.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "aec/aligned_buffer.hpp"
#include "aec/echo_canceller.hpp"
#include "test_signals.hpp"

namespace {

using Spectrum = AlignedVector<std::complex<float>>;

std::vector<float> plainFrames(const std::vector<float>& m, const std::vector<float>& r,
                               const std::vector<DelaySeg>& segs, AecStats& st) {
  const auto fwd = fftwDftFactory().create(1024, DftDirection::kForward);
  const auto inv = fftwDftFactory().create(1024, DftDirection::kInverse);
  const auto full = [&](const AlignedVector<float>& x) {  // all 1024 bins
    Spectrum half(513);
    fwd->forwardReal(x.data(), half.data());
    std::vector<std::complex<float>> f(1024);
    for (int k = 0; k < 1024; ++k) f[k] = k <= 512 ? half[k] : std::conj(half[1024 - k]);
    return f;
  };
  const auto win = makeSqrtHannWindow();
  const int64_t L = static_cast<int64_t>(m.size()), R = static_cast<int64_t>(r.size());
  const float lambda = 0.85f, mu = 1.0f - 0.85f;
  std::vector<std::complex<float>> sxy(513), O(1024);
  std::vector<float> sxx(513, 0.0f), syy(513, 0.0f), out(m.size(), 0.0f);
  AlignedVector<float> mf(1024), rf(1024), synth(1024);
  for (int64_t p = 0; p < L; p += 512) {
    int64_t d = 0;
    for (const DelaySeg& s : segs) d = s.start <= p ? s.delay : d;
    for (int64_t n = 0; n < 1024; ++n) {
      mf[n] = p + n < L ? m[p + n] * win[n] : 0.0f;
      rf[n] = (p + n - d >= 0 && p + n - d < R) ? r[p + n - d] * win[n] : 0.0f;
    }
    const auto M = full(mf), Y = full(rf);
    float E = 0.0f;
    for (int k = 1; k < 1024; ++k) E += Y[k].real() * Y[k].real() + Y[k].imag() * Y[k].imag();
    const bool active = E > 0.001f;
    st.frames += 1;
    st.farEnd += active;
    O = M;
    float cmax = 0.0f;
    bool engaged = false;
    for (int k = 1; k <= 512; ++k) {
      const float mr = M[k].real(), mi = M[k].imag(), yr = Y[k].real(), yi = Y[k].imag();
      if (active) {
        sxy[k] = {(mr * yr + mi * yi) * mu + sxy[k].real() * lambda, (yr * mi - mr * yi) * mu + sxy[k].imag() * lambda};
        sxx[k] = sxx[k] * lambda + (mr * mr + mi * mi) * mu;
        syy[k] = syy[k] * lambda + (yr * yr + yi * yi) * mu;
      }
      const float q = (sxy[k].real() * sxy[k].real() + sxy[k].imag() * sxy[k].imag()) / (sxx[k] * syy[k] + 1e-12f);
      const float g2 = std::isnan(q) ? 1.0f : std::min(q, 1.0f);
      cmax = std::max(cmax, std::sqrt(g2));
      const float g = std::sqrt(std::max(1.0f - 1.5f * g2, 0.0f));
      if (!active || g >= 0.9999f) continue;
      engaged = true;
      O[k] *= std::max(g, 0.08f);
      if (k < 512) O[1024 - k] *= std::max(g, 0.08f);
    }
    st.active += engaged;
    st.cohSum += cmax;
    st.cohMax = std::max(st.cohMax, cmax);
    Spectrum half(O.begin(), O.begin() + 513);
    inv->inverseHermitian(half.data(), synth.data());
    for (int64_t n = 0; n < 1024 && p + n < L; ++n) out[p + n] += (synth[n] * 0.0009765625f) * win[n];
  }
  return out;
}

}  // namespace

TEST(EchoCancellerReference, EchoPathDoubleTalkPausesAndAMovingDelay) {
  // At 16 kHz segments are 160000 samples: an echo through a decaying path
  // whose delay moves from 100 to 160 samples in the second segment, a
  // near-end tone, and a reference that pauses (inactive frames).
  std::vector<float> ref = whiteNoise(400000, 0.3f, 102);
  std::fill(ref.begin() + 30000, ref.begin() + 45000, 0.0f);
  std::vector<float> mic(ref.size());
  float e = 0.0f;
  for (size_t i = 0; i < mic.size(); ++i) {
    const size_t d = i < 160000 ? 100 : 160;
    e = e * 0.6f + (i >= d ? ref[i - d] * 0.4f : 0.0f);
    mic[i] = e * 0.5f + 0.05f * std::sin(static_cast<float>(i) * 0.13f);
  }
  const AecResult got = EchoCanceller::create()->process(mic, ref, 16000.0);
  AecStats want;
  const std::vector<float> out = plainFrames(mic, ref, {{0, 100}, {160000, 160}, {320000, 160}}, want);
  ASSERT_TRUE(got.stats && got.stats->applied);
  ASSERT_EQ(got.cleaned.size(), out.size());
  float worst = 0.0f;
  for (size_t i = 0; i < out.size(); ++i) worst = std::max(worst, std::fabs(out[i] - got.cleaned[i]));
  EXPECT_LT(worst, 2e-5f);
  ASSERT_EQ(got.stats->segs.size(), 3u);
  EXPECT_EQ(formatAecLine(*got.stats).substr(0, 42), "[aec] applied=yes delayMs=[6,10,10] frames");
  EXPECT_EQ(got.stats->frames, want.frames);
  EXPECT_EQ(got.stats->farEnd, want.farEnd);
  EXPECT_EQ(got.stats->active, want.active);
  EXPECT_NEAR(got.stats->cohSum, want.cohSum, 1e-4f * want.cohSum + 1e-6f);
  EXPECT_NEAR(got.stats->cohMax, want.cohMax, 1e-5f);
}
