#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "aec/aligned_buffer.hpp"
#include "aec/dft.hpp"
#include "test_signals.hpp"

namespace {

constexpr double kPi = 3.14159265358979323846;

// The definition, summed in double: X[k] = sum_n x[n] exp(sign*2*pi*i*k*n/N),
// sign -1 forward, +1 inverse, no scaling.
std::complex<double> referenceBin(const std::vector<float>& re, const std::vector<float>& im,
                                  int64_t k, int sign) {
  const int64_t n = static_cast<int64_t>(re.size());
  std::complex<double> sum = 0.0;
  for (int64_t j = 0; j < n; ++j) {
    const double angle = sign * 2.0 * kPi * static_cast<double>((k * j) % n) / static_cast<double>(n);
    sum += std::complex<double>(re[static_cast<size_t>(j)], im[static_cast<size_t>(j)]) *
           std::complex<double>(std::cos(angle), std::sin(angle));
  }
  return sum;
}

double rmsOf(const std::vector<float>& re, const std::vector<float>& im) {
  double s = 0.0;
  for (size_t i = 0; i < re.size(); ++i) s += double(re[i]) * re[i] + double(im[i]) * im[i];
  return std::sqrt(s);
}

// Float rounding of an N-point FFT: each bin is off by a few float ulps
// times log2(N) of the input's norm (a typical bin is about that norm).
double tolerance(double norm, int64_t n) {
  return 1e-6 * std::log2(static_cast<double>(n)) * norm;
}

}  // namespace

TEST(FftwDft, RejectsLengthsItCannotPrepare) {
  DftFactory& f = fftwDftFactory();
  EXPECT_EQ(f.create(0, DftDirection::kForward), nullptr);
  EXPECT_EQ(f.create(1023, DftDirection::kForward), nullptr);
  EXPECT_EQ(f.create(-1024, DftDirection::kInverse), nullptr);
  auto d = f.create(1024, DftDirection::kInverse);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->length(), 1024);
  EXPECT_EQ(d->direction(), DftDirection::kInverse);
}

TEST(FftwDft, ComplexTransformsMatchTheDefinition) {
  const int64_t n = 1024;
  const std::vector<float> re = whiteNoise(n, 1.0f, 11);
  const std::vector<float> im = whiteNoise(n, 1.0f, 12);
  const double tol = tolerance(rmsOf(re, im), n);
  for (DftDirection dir : {DftDirection::kForward, DftDirection::kInverse}) {
    SCOPED_TRACE(dir == DftDirection::kForward ? "forward" : "inverse");
    auto dft = fftwDftFactory().create(n, dir);
    ASSERT_NE(dft, nullptr);
    std::vector<float> outRe(n), outIm(n);
    dft->execute(re.data(), im.data(), outRe.data(), outIm.data());
    // Forward is exp(-...), inverse exp(+...).
    const int sign = dir == DftDirection::kForward ? -1 : 1;
    for (int64_t k = 0; k < n; ++k) {
      const std::complex<double> want = referenceBin(re, im, k, sign);
      ASSERT_NEAR(outRe[static_cast<size_t>(k)], want.real(), tol) << k;
      ASSERT_NEAR(outIm[static_cast<size_t>(k)], want.imag(), tol) << k;
    }
  }
}

TEST(FftwDft, RealPathsMatchTheComplexDefinition) {
  const int64_t n = 1024;
  const std::vector<float> x = whiteNoise(n, 1.0f, 21);
  const std::vector<float> zeros(n, 0.0f);
  const double tol = tolerance(rmsOf(x, zeros), n);
  auto fwd = fftwDftFactory().create(n, DftDirection::kForward);
  auto inv = fftwDftFactory().create(n, DftDirection::kInverse);
  ASSERT_TRUE(fwd && inv);

  AlignedVector<float> in(x.begin(), x.end());
  AlignedVector<std::complex<float>> half(n / 2 + 1);
  fwd->forwardReal(in.data(), half.data());
  for (int64_t k = 0; k <= n / 2; ++k) {
    const std::complex<double> want = referenceBin(x, zeros, k, -1);
    ASSERT_NEAR(half[static_cast<size_t>(k)].real(), want.real(), tol) << k;
    ASSERT_NEAR(half[static_cast<size_t>(k)].imag(), want.imag(), tol) << k;
  }

  // Unscaled: inverse after forward gives N times the input.
  AlignedVector<float> back(n);
  inv->inverseHermitian(half.data(), back.data());
  for (int64_t i = 0; i < n; ++i) {
    ASSERT_NEAR(back[static_cast<size_t>(i)], 1024.0 * x[static_cast<size_t>(i)], 1024.0 * tol) << i;
  }
}

TEST(FftwDft, InverseOfAHermitianSpectrumIsTheRealPartOfTheFullInverse) {
  const int64_t n = 1024;
  auto inv = fftwDftFactory().create(n, DftDirection::kInverse);
  ASSERT_NE(inv, nullptr);
  // A Hermitian spectrum: bins 0 and 512 real, bin N-k = conj(bin k).
  const std::vector<float> a = whiteNoise(n, 1.0f, 31), b = whiteNoise(n, 1.0f, 32);
  std::vector<float> re(n), im(n);
  for (int64_t k = 0; k <= n / 2; ++k) {
    re[static_cast<size_t>(k)] = a[static_cast<size_t>(k)];
    im[static_cast<size_t>(k)] = (k == 0 || k == n / 2) ? 0.0f : b[static_cast<size_t>(k)];
    if (k > 0 && k < n / 2) {
      re[static_cast<size_t>(n - k)] = re[static_cast<size_t>(k)];
      im[static_cast<size_t>(n - k)] = -im[static_cast<size_t>(k)];
    }
  }
  std::vector<float> fullRe(n), fullIm(n);
  inv->execute(re.data(), im.data(), fullRe.data(), fullIm.data());

  AlignedVector<std::complex<float>> half(n / 2 + 1);
  for (int64_t k = 0; k <= n / 2; ++k) half[static_cast<size_t>(k)] = {re[static_cast<size_t>(k)], im[static_cast<size_t>(k)]};
  AlignedVector<float> out(n);
  inv->inverseHermitian(half.data(), out.data());
  const double tol = tolerance(rmsOf(re, im), n);
  for (int64_t i = 0; i < n; ++i) {
    ASSERT_NEAR(out[static_cast<size_t>(i)], fullRe[static_cast<size_t>(i)], tol) << i;
    ASSERT_NEAR(fullIm[static_cast<size_t>(i)], 0.0, tol) << i;
  }
}

TEST(FftwDft, UnalignedArraysGiveTheSameResults) {
  const int64_t n = 1024;
  auto fwd = fftwDftFactory().create(n, DftDirection::kForward);
  auto inv = fftwDftFactory().create(n, DftDirection::kInverse);
  ASSERT_TRUE(fwd && inv);
  const std::vector<float> x = whiteNoise(n, 1.0f, 41);
  AlignedVector<float> aligned(x.begin(), x.end());
  AlignedVector<std::complex<float>> want(n / 2 + 1);
  fwd->forwardReal(aligned.data(), want.data());

  // One float past an aligned start: the transform must stage the data.
  AlignedVector<float> shiftedIn(n + 1);
  std::copy(x.begin(), x.end(), shiftedIn.begin() + 1);
  AlignedVector<float> shiftedOut(2 * (n / 2 + 1) + 2);
  auto* outSpectrum = reinterpret_cast<std::complex<float>*>(shiftedOut.data() + 2);
  fwd->forwardReal(shiftedIn.data() + 1, outSpectrum);
  for (int64_t k = 0; k <= n / 2; ++k) ASSERT_EQ(outSpectrum[k], want[static_cast<size_t>(k)]) << k;

  AlignedVector<float> back(n), backShifted(n + 1);
  AlignedVector<std::complex<float>> copy1 = want, copy2 = want;
  inv->inverseHermitian(copy1.data(), back.data());
  inv->inverseHermitian(copy2.data(), backShifted.data() + 1);
  for (int64_t i = 0; i < n; ++i) ASSERT_EQ(backShifted[static_cast<size_t>(i + 1)], back[static_cast<size_t>(i)]) << i;
}

TEST(FftwDft, LongTransformsMatchTheDefinitionAtSampledBins) {
  const int64_t n = int64_t{1} << 20;
  auto fwd = fftwDftFactory().create(n, DftDirection::kForward);
  auto inv = fftwDftFactory().create(n, DftDirection::kInverse);
  ASSERT_TRUE(fwd && inv);
  // Half filled, as the delay search fills it.
  std::vector<float> x = whiteNoise(n, 1.0f, 51);
  std::fill(x.begin() + n / 2, x.end(), 0.0f);
  const std::vector<float> zeros(n, 0.0f);
  AlignedVector<float> in(x.begin(), x.end());
  AlignedVector<std::complex<float>> half(n / 2 + 1);
  fwd->forwardReal(in.data(), half.data());
  const double tol = tolerance(rmsOf(x, zeros), n) * 4.0;
  for (int64_t k : {int64_t{0}, int64_t{1}, int64_t{733}, int64_t{262144}, n / 2 - 1, n / 2}) {
    const std::complex<double> want = referenceBin(x, zeros, k, -1);
    EXPECT_NEAR(half[static_cast<size_t>(k)].real(), want.real(), tol) << k;
    EXPECT_NEAR(half[static_cast<size_t>(k)].imag(), want.imag(), tol) << k;
  }
  AlignedVector<float> back(n);
  inv->inverseHermitian(half.data(), back.data());
  for (int64_t i : {int64_t{0}, int64_t{5}, n / 2 - 1, n / 2, n - 1}) {
    EXPECT_NEAR(back[static_cast<size_t>(i)], static_cast<double>(n) * x[static_cast<size_t>(i)],
                static_cast<double>(n) * tol)
        << i;
  }
}
