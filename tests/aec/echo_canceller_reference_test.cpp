// The canceller's fast paths (real-input half spectra, vector loops, the
// early activity decision, the cached coherence of inactive frames) against
// a plain, literal rendering of the algorithm on full complex transforms.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "aec/echo_canceller.hpp"
#include "aec/stft_window.hpp"
#include "test_signals.hpp"

namespace {

struct Result {
  std::vector<float> out;
  AecStats stats;
};

// Frame loop exactly as written: full 1024-bin split spectra, the energy
// summed over bins 1 ... 1023 in order, gains applied to bin k and its
// mirror 1024 - k, bin 512 once.
Result referenceFrames(const std::vector<float>& m, const std::vector<float>& r,
                       const std::vector<DelaySeg>& segs) {
  auto fwd = fftwDftFactory().create(1024, DftDirection::kForward);
  auto inv = fftwDftFactory().create(1024, DftDirection::kInverse);
  const auto win = makeSqrtHannWindow();
  const int64_t L = static_cast<int64_t>(m.size()), R = static_cast<int64_t>(r.size());
  const float lambda = 0.85f, mu = 1.0f - 0.85f;
  std::vector<float> sxyRe(1024, 0.0f), sxyIm(1024, 0.0f), sxx(1024, 0.0f), syy(1024, 0.0f);
  Result res;
  res.out.assign(m.size(), 0.0f);
  std::vector<float> mre(1024), rre(1024), zero(1024, 0.0f), Mre(1024), Mim(1024), Yre(1024),
      Yim(1024), Ore(1024), Oim(1024), t(1024), tim(1024);
  for (int64_t p = 0; p < L; p += 512) {
    int64_t d = 0;
    for (const DelaySeg& s : segs) {
      if (s.start > p) break;
      d = s.delay;
    }
    for (int64_t n = 0; n < 1024; ++n) {
      mre[n] = p + n < L ? m[p + n] * win[n] : 0.0f;
      const int64_t j = p + n - d;
      rre[n] = (j >= 0 && j < R) ? r[j] * win[n] : 0.0f;
    }
    fwd->execute(mre.data(), zero.data(), Mre.data(), Mim.data());
    fwd->execute(rre.data(), zero.data(), Yre.data(), Yim.data());
    float E = 0.0f;
    for (int k = 1; k < 1024; ++k) E += (Yre[k] * Yre[k] + Yim[k] * Yim[k]);
    res.stats.frames += 1;
    const bool active = E > 0.001f;
    if (active) res.stats.farEnd += 1;
    Ore = Mre;
    Oim = Mim;
    float cmax = 0.0f;
    bool engaged = false;
    for (int k = 1; k <= 512; ++k) {
      if (active) {
        sxyRe[k] = (Mre[k] * Yre[k] + Mim[k] * Yim[k]) * mu + sxyRe[k] * lambda;
        sxyIm[k] = (Yre[k] * Mim[k] - Mre[k] * Yim[k]) * mu + sxyIm[k] * lambda;
        sxx[k] = sxx[k] * lambda + (Mre[k] * Mre[k] + Mim[k] * Mim[k]) * mu;
        syy[k] = syy[k] * lambda + (Yre[k] * Yre[k] + Yim[k] * Yim[k]) * mu;
      }
      float q = (sxyRe[k] * sxyRe[k] + sxyIm[k] * sxyIm[k]) / (sxx[k] * syy[k] + 1e-12f);
      const float g2 = std::isnan(q) ? 1.0f : std::min(q, 1.0f);
      if (std::sqrt(g2) > cmax) cmax = std::sqrt(g2);
      if (!active) continue;
      const float g = std::sqrt(std::max(1.0f - 1.5f * g2, 0.0f));
      float G;
      if (g < 0.08f) G = 0.08f;
      else if (g >= 0.9999f) continue;
      else G = g;
      engaged = true;
      Ore[k] *= G;
      Oim[k] *= G;
      if (k < 512) {
        Ore[1024 - k] *= G;
        Oim[1024 - k] *= G;
      }
    }
    if (engaged) res.stats.active += 1;
    res.stats.cohSum += cmax;
    if (cmax > res.stats.cohMax) res.stats.cohMax = cmax;
    inv->execute(Ore.data(), Oim.data(), t.data(), tim.data());
    for (int64_t n = 0; n < 1024 && p + n < L; ++n) res.out[p + n] += (t[n] * 0.0009765625f) * win[n];
  }
  return res;
}

// The delay search exactly as written, on full complex 2^20-point transforms.
std::optional<int64_t> referenceBestLag(const std::vector<float>& mic, const std::vector<float>& ref,
                                        int64_t at, int64_t window, int64_t center, int64_t radius) {
  const int64_t N = 1 << 20;
  const int64_t n = std::min<int64_t>(window, 524288);
  std::vector<float> mr(N, 0.0f), mi(N, 0.0f), yr(N, 0.0f), yi(N, 0.0f);
  float e = 0.0f;
  for (int64_t i = 0; i < n; ++i) {
    const int64_t j = at + i;
    if (j < 0) continue;
    if (j < static_cast<int64_t>(mic.size())) {
      mr[i] = mic[j];
      e += mic[j] * mic[j];
    }
    if (j < static_cast<int64_t>(ref.size())) yr[i] = ref[j];
  }
  if (e < static_cast<float>(n) * 0.000001f) return std::nullopt;
  auto fwd = fftwDftFactory().create(N, DftDirection::kForward);
  auto inv = fftwDftFactory().create(N, DftDirection::kInverse);
  std::vector<float> Mr(N), Mi(N), Yr(N), Yi(N);
  fwd->execute(mr.data(), mi.data(), Mr.data(), Mi.data());
  fwd->execute(yr.data(), yi.data(), Yr.data(), Yi.data());
  for (int64_t k = 0; k < N; ++k) {
    const float cr = Mr[k] * Yr[k] + Mi[k] * Yi[k];
    const float ci = Yr[k] * Mi[k] - Mr[k] * Yi[k];
    const float m = std::sqrt(cr * cr + ci * ci) + 0.000001f;
    Mr[k] = cr / m;
    Mi[k] = ci / m;
  }
  std::vector<float> corr(N), corrIm(N);
  inv->execute(Mr.data(), Mi.data(), corr.data(), corrIm.data());
  float best = -3.4028235e38f;
  int64_t cand = center;
  for (int64_t lag = center - radius; lag <= center + radius; ++lag) {
    const float v = std::fabs(corr[lag & (N - 1)]);
    if (v > best) {
      best = v;
      cand = lag;
    }
  }
  double s = 0.0;
  for (float c : corr) s += static_cast<double>(c) * c;
  const float rms = std::sqrt(static_cast<float>(s / N));
  if (best < (rms + 1e-9f) * 3.0f) return std::nullopt;
  return cand;
}

void expectSameAsReference(const std::vector<float>& mic, const std::vector<float>& ref,
                           double rate, const std::vector<DelaySeg>& segs) {
  auto c = EchoCanceller::create();
  ASSERT_NE(c, nullptr);
  testing::internal::CaptureStderr();
  const std::vector<float> out = c->process(mic, ref, rate);
  testing::internal::GetCapturedStderr();
  const Result want = referenceFrames(mic, ref, segs);
  ASSERT_EQ(out.size(), want.out.size());
  float worst = 0.0f;
  for (size_t i = 0; i < out.size(); ++i) worst = std::max(worst, std::fabs(out[i] - want.out[i]));
  EXPECT_LT(worst, 2e-5f);
  EXPECT_EQ(c->dFrames(), want.stats.frames);
  EXPECT_EQ(c->dFarEnd(), want.stats.farEnd);
  EXPECT_EQ(c->dActive(), want.stats.active);
  EXPECT_NEAR(c->dCohSum(), want.stats.cohSum, 1e-4f * want.stats.cohSum + 1e-6f);
  EXPECT_NEAR(c->dCohMax(), want.stats.cohMax, 1e-5f);
}

}  // namespace

TEST(EchoCancellerReference, EchoWithDoubleTalkAndPauses) {
  ScopedHome home;
  // A 240-sample echo through a decaying path, a near-end tone, and a
  // reference that pauses (inactive frames between active ones).
  std::vector<float> ref = whiteNoise(96000, 0.5f, 101);
  std::fill(ref.begin() + 30000, ref.begin() + 45000, 0.0f);
  std::vector<float> mic(ref.size());
  float e = 0.0f;
  for (size_t i = 0; i < mic.size(); ++i) {
    e = e * 0.6f + (i >= 240 ? ref[i - 240] * 0.4f : 0.0f);
    mic[i] = e * 0.5f + 0.2f * std::sin(static_cast<float>(i) * 0.13f);
  }
  auto c = EchoCanceller::create();
  const auto lag = c->bestLag(mic, ref, 0, 480000, 0, 96000);
  EXPECT_EQ(lag, referenceBestLag(mic, ref, 0, 480000, 0, 96000));
  ASSERT_TRUE(lag.has_value());
  expectSameAsReference(mic, ref, 48000.0, {{0, *lag}});
}

TEST(EchoCancellerReference, SeveralSegmentsWithDifferentDelays) {
  ScopedHome home;
  // At 16 kHz segments are 160000 samples; the echo delay moves from 100 to
  // 160 samples in the second segment.
  const std::vector<float> ref = whiteNoise(400000, 0.3f, 102);
  std::vector<float> mic = delayed(ref, 100, 0.5f);
  const std::vector<float> later = delayed(ref, 160, 0.5f);
  std::copy(later.begin() + 160000, later.end(), mic.begin() + 160000);
  const std::vector<float> noise = whiteNoise(400000, 0.02f, 103);
  for (size_t i = 0; i < mic.size(); ++i) mic[i] += noise[i];
  auto c = EchoCanceller::create();
  ASSERT_EQ(referenceBestLag(mic, ref, 0, 160000, 0, 32000), 100);
  EXPECT_EQ(c->bestLag(mic, ref, 160000, 160000, 100, 4800), 160);
  EXPECT_EQ(referenceBestLag(mic, ref, 160000, 160000, 100, 4800), 160);
  expectSameAsReference(mic, ref, 16000.0, {{0, 100}, {160000, 160}, {320000, 160}});
}
