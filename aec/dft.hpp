#pragma once

#include <complex>
#include <cstdint>
#include <memory>

// Prepared discrete Fourier transforms, unscaled:
//   forward  X[k] = sum_n x[n] * exp(-2*pi*i*k*n/N)
//   inverse  x[n] = sum_k X[k] * exp(+2*pi*i*k*n/N)
// An inverse after a forward multiplies by N.

enum class DftDirection : int { kForward = 1, kInverse = -1 };

// One prepared transform of a fixed length N and direction. Executing it
// cannot fail; several threads may execute it at once on arrays of their own.
// Every array handed to it is 64-byte aligned (AlignedVector, LargeBuffer),
// so the transform's vector code runs on it directly.
class Dft {
 public:
  virtual ~Dft() = default;

  // Forward setups only. The spectrum of a real input (imaginary part 0):
  // `in` holds N samples, `out` receives bins 0 ... N/2. The bins above are
  // the conjugates of these (bin N-k = conj(bin k)).
  virtual void forwardReal(const float* in, std::complex<float>* out) = 0;

  // Inverse setups only. The transform of the Hermitian spectrum whose bins
  // 0 ... N/2 are in `in` (the imaginary parts of bins 0 and N/2 are taken
  // as 0): its real output, N samples, goes to `out`; the
  // imaginary output is 0. `in` is used as scratch and overwritten.
  virtual void inverseHermitian(std::complex<float>* in, float* out) = 0;
};

// Prepares transforms. A factory may fail; it then returns nullptr.
class DftFactory {
 public:
  virtual ~DftFactory() = default;
  virtual std::unique_ptr<Dft> create(int64_t length, DftDirection direction) = 0;
};

// The factory backed by FFTW (single precision). Lengths must be even and at
// least 2; any other length, or a plan FFTW cannot make, gives nullptr.
DftFactory& fftwDftFactory();
