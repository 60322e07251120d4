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

// One length and direction: a real-data plan (r2c for forward, c2r for
// inverse). Plans are made with FFTW_ESTIMATE, so the same plan comes out on
// every run, on fftwf_malloc arrays that are released once planning is done:
// execution always goes through FFTW's new-array calls (safe from several
// threads at once), on arrays with the same SIMD alignment as those the plan
// was made on (the callers' arrays are 64-byte aligned).
class FftwDft final : public Dft {
 public:
  static std::unique_ptr<Dft> make(int64_t n, DftDirection direction) {
    if (n < 2 || n % 2 != 0 || n > INT_MAX) return nullptr;
    const int len = static_cast<int>(n);
    auto real = fftwArray<float>(static_cast<size_t>(n));
    auto spectrum = fftwArray<fftwf_complex>(static_cast<size_t>(n / 2 + 1));
    if (!real || !spectrum) return nullptr;

    std::lock_guard<std::mutex> lock(plannerMutex());
    fftwf_plan plan =
        direction == DftDirection::kForward
            ? fftwf_plan_dft_r2c_1d(len, real.get(), spectrum.get(), FFTW_ESTIMATE)
            : fftwf_plan_dft_c2r_1d(len, spectrum.get(), real.get(),
                                    FFTW_ESTIMATE | FFTW_DESTROY_INPUT);
    if (plan == nullptr) return nullptr;
    return std::unique_ptr<Dft>(new FftwDft(plan));
  }

  void forwardReal(const float* in, std::complex<float>* out) override {
    fftwf_execute_dft_r2c(plan_.get(), const_cast<float*>(in), reinterpret_cast<fftwf_complex*>(out));
  }

  void inverseHermitian(std::complex<float>* in, float* out) override {
    fftwf_execute_dft_c2r(plan_.get(), reinterpret_cast<fftwf_complex*>(in), out);
  }

 private:
  explicit FftwDft(fftwf_plan plan) : plan_(plan) {}

  Plan plan_;
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
