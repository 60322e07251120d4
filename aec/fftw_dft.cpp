#include <fftw3.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>

#include "aec/dft.hpp"

namespace {

// FFTW's planner (plan creation and destruction) is not thread-safe;
// executing a finished plan is.
std::mutex& plannerMutex() {
  static std::mutex m;
  return m;
}

struct PlanDeleter {
  void operator()(fftwf_plan p) const {
    std::lock_guard<std::mutex> lock(plannerMutex());
    fftwf_destroy_plan(p);
  }
};
using Plan = std::unique_ptr<std::remove_pointer_t<fftwf_plan>, PlanDeleter>;

struct FftwFree {
  void operator()(void* p) const { fftwf_free(p); }
};
template <class T>
using FftwArray = std::unique_ptr<T[], FftwFree>;

template <class T>
FftwArray<T> fftwArray(size_t count) {
  return FftwArray<T>(static_cast<T*>(fftwf_malloc(count * sizeof(T))));
}

bool simdAligned(const void* p) {
  return fftwf_alignment_of(const_cast<float*>(static_cast<const float*>(p))) == 0;
}

// One length and direction: a complex plan for the general split transform
// and a real-data plan (r2c for forward, c2r for inverse) for the fast paths.
// Plans are made with FFTW_ESTIMATE, so the same plan comes out on every run,
// on fftwf_malloc arrays that are released once planning is done: execution
// always goes through FFTW's new-array calls, on arrays with the same SIMD
// alignment as those the plans were made on.
class FftwDft final : public Dft {
 public:
  static std::unique_ptr<Dft> make(int64_t n, DftDirection direction) {
    if (n < 2 || n % 2 != 0 || n > INT_MAX) return nullptr;
    const int len = static_cast<int>(n);
    const size_t half = static_cast<size_t>(n / 2 + 1);
    auto real = fftwArray<float>(static_cast<size_t>(n));
    auto spectrum = fftwArray<fftwf_complex>(half);
    auto cin = fftwArray<fftwf_complex>(static_cast<size_t>(n));
    auto cout = fftwArray<fftwf_complex>(static_cast<size_t>(n));
    if (!real || !spectrum || !cin || !cout) return nullptr;

    std::lock_guard<std::mutex> lock(plannerMutex());
    const int sign = direction == DftDirection::kForward ? FFTW_FORWARD : FFTW_BACKWARD;
    fftwf_plan complexPlan = fftwf_plan_dft_1d(len, cin.get(), cout.get(), sign, FFTW_ESTIMATE);
    fftwf_plan realPlan =
        direction == DftDirection::kForward
            ? fftwf_plan_dft_r2c_1d(len, real.get(), spectrum.get(), FFTW_ESTIMATE)
            : fftwf_plan_dft_c2r_1d(len, spectrum.get(), real.get(),
                                    FFTW_ESTIMATE | FFTW_DESTROY_INPUT);
    if (complexPlan == nullptr || realPlan == nullptr) {
      if (complexPlan != nullptr) fftwf_destroy_plan(complexPlan);
      if (realPlan != nullptr) fftwf_destroy_plan(realPlan);
      return nullptr;
    }
    return std::unique_ptr<Dft>(new FftwDft(n, direction, complexPlan, realPlan));
  }

  ~FftwDft() override {
    // Plans go before the arrays; PlanDeleter takes the planner lock.
    complexPlan_.reset();
    realPlan_.reset();
  }

  int64_t length() const override { return n_; }
  DftDirection direction() const override { return direction_; }

  void execute(const float* inRe, const float* inIm, float* outRe, float* outIm) override {
    // The general transform is not on any hot path: it goes through a
    // complex work array, allocated on first use and kept.
    const size_t n = static_cast<size_t>(n_);
    if (!work_) {
      workIn_ = fftwArray<fftwf_complex>(n);
      work_ = fftwArray<fftwf_complex>(n);
    }
    for (size_t i = 0; i < n; ++i) {
      workIn_[i][0] = inRe[i];
      workIn_[i][1] = inIm[i];
    }
    fftwf_execute_dft(complexPlan_.get(), workIn_.get(), work_.get());
    for (size_t i = 0; i < n; ++i) {
      outRe[i] = work_[i][0];
      outIm[i] = work_[i][1];
    }
  }

  void forwardReal(const float* in, std::complex<float>* out) override {
    auto* spectrum = reinterpret_cast<fftwf_complex*>(out);
    if (simdAligned(in) && simdAligned(out)) {
      fftwf_execute_dft_r2c(realPlan_.get(), const_cast<float*>(in), spectrum);
      return;
    }
    ensureStaging();
    std::memcpy(stagingReal_.get(), in, static_cast<size_t>(n_) * sizeof(float));
    fftwf_execute_dft_r2c(realPlan_.get(), stagingReal_.get(), stagingSpectrum_.get());
    std::memcpy(static_cast<void*>(out), stagingSpectrum_.get(), halfBins() * sizeof(fftwf_complex));
  }

  void inverseHermitian(std::complex<float>* in, float* out) override {
    auto* spectrum = reinterpret_cast<fftwf_complex*>(in);
    if (simdAligned(in) && simdAligned(out)) {
      fftwf_execute_dft_c2r(realPlan_.get(), spectrum, out);
      return;
    }
    ensureStaging();
    std::memcpy(stagingSpectrum_.get(), in, halfBins() * sizeof(fftwf_complex));
    fftwf_execute_dft_c2r(realPlan_.get(), stagingSpectrum_.get(), stagingReal_.get());
    std::memcpy(out, stagingReal_.get(), static_cast<size_t>(n_) * sizeof(float));
  }

 private:
  FftwDft(int64_t n, DftDirection direction, fftwf_plan complexPlan, fftwf_plan realPlan)
      : n_(n), direction_(direction), complexPlan_(complexPlan), realPlan_(realPlan) {}

  size_t halfBins() const { return static_cast<size_t>(n_ / 2 + 1); }

  // Arrays for callers whose own arrays lack the SIMD alignment.
  void ensureStaging() {
    if (stagingReal_) return;
    stagingReal_ = fftwArray<float>(static_cast<size_t>(n_));
    stagingSpectrum_ = fftwArray<fftwf_complex>(halfBins());
  }

  int64_t n_;
  DftDirection direction_;
  Plan complexPlan_;
  Plan realPlan_;
  FftwArray<fftwf_complex> workIn_;
  FftwArray<fftwf_complex> work_;
  FftwArray<float> stagingReal_;
  FftwArray<fftwf_complex> stagingSpectrum_;
};

class FftwDftFactory final : public DftFactory {
 public:
  std::unique_ptr<Dft> create(int64_t length, DftDirection direction) override {
    return FftwDft::make(length, direction);
  }
};

static_assert(sizeof(std::complex<float>) == sizeof(fftwf_complex),
              "std::complex<float> and fftwf_complex share one layout");

}  // namespace

DftFactory& fftwDftFactory() {
  static FftwDftFactory factory;
  return factory;
}
