#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "aec/aligned_buffer.hpp"
#include "aec/dft.hpp"
#include "test_signals.hpp"

namespace {

constexpr double kPi = 3.14159265358979323846;

// The definition, summed in double: X[k] = sum_n x[n] exp(-2*pi*i*k*n/N).
std::complex<double> forwardBin(const std::vector<float>& x, int64_t k) {
  const int64_t n = static_cast<int64_t>(x.size());
  std::complex<double> sum = 0.0;
  for (int64_t j = 0; j < n; ++j) {
    const double angle = -2.0 * kPi * static_cast<double>((k * j) % n) / static_cast<double>(n);
    sum += static_cast<double>(x[static_cast<size_t>(j)]) * std::polar(1.0, angle);
  }
  return sum;
}

}  // namespace

TEST(FftwDft, RealPathsMatchTheDefinitionOddOrEmptyLengthsAreRefused) {
  EXPECT_EQ(fftwDftFactory().create(0, DftDirection::kForward), nullptr);
  EXPECT_EQ(fftwDftFactory().create(1023, DftDirection::kInverse), nullptr);
  // The short transform at every bin, the long one (half filled, as the
  // delay search fills it) at sampled bins; float rounding grows with log2 N.
  for (int64_t n : {int64_t{1024}, int64_t{1} << 20}) {
    SCOPED_TRACE(n);
    std::vector<float> x = whiteNoise(static_cast<size_t>(n), 1.0f, 21);
    if (n > 1024) std::fill(x.begin() + n / 2, x.end(), 0.0f);
    const double tol = 4e-6 * std::log2(static_cast<double>(n)) * std::sqrt(static_cast<double>(n));
    auto fwd = fftwDftFactory().create(n, DftDirection::kForward);
    auto inv = fftwDftFactory().create(n, DftDirection::kInverse);
    ASSERT_TRUE(fwd && inv);
    AlignedVector<float> in(x.begin(), x.end());
    AlignedVector<std::complex<float>> half(static_cast<size_t>(n / 2 + 1));
    fwd->forwardReal(in.data(), half.data());
    for (int64_t k = 0; k <= n / 2; k += n == 1024 ? 1 : 65537) {
      const std::complex<double> want = forwardBin(x, k);
      ASSERT_NEAR(half[static_cast<size_t>(k)].real(), want.real(), tol) << k;
      ASSERT_NEAR(half[static_cast<size_t>(k)].imag(), want.imag(), tol) << k;
    }
    if (n > 1024) continue;
    // Unscaled, and the imaginary parts of bins 0 and N/2 are ignored.
    half[0].imag(5.0f);
    half[static_cast<size_t>(n / 2)].imag(-3.0f);
    AlignedVector<float> back(static_cast<size_t>(n));
    inv->inverseHermitian(half.data(), back.data());
    for (int64_t j = 0; j < n; ++j) {
      ASSERT_NEAR(back[static_cast<size_t>(j)], n * x[static_cast<size_t>(j)], n * tol) << j;
    }
  }
}
