// Echo canceller benchmark: cleans a synthetic 10-minute 48 kHz recording
// with one EchoCanceller::process call and compares its time with the bare
// real-input FFTW transforms that call needs (same sizes, same counts), all
// in one run. Prints figures only; nothing here passes or fails.
//
//   build-dir/bench/aec_bench [seconds]      (default 600)

#include <dlfcn.h>
#include <fftw3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "aec/echo_canceller.hpp"

namespace {

constexpr double kRate = 48000.0;
constexpr int kShort = 1024;
constexpr int kLong = 1 << 20;
constexpr int64_t kEchoDelay = 1234;  // samples, about 25.7 ms

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Pair {
  std::vector<float> mic;
  std::vector<float> reference;
};

// Far end: noise shaped by a slow syllable-like envelope. Microphone: the
// far end delayed, low-passed and attenuated (the room), plus a near-end
// talker (two tones gated on and off) and a little sensor noise.
Pair makePair(int64_t n) {
  Pair p;
  p.reference.resize(static_cast<size_t>(n));
  p.mic.resize(static_cast<size_t>(n));
  uint64_t state = 0x243F6A8885A308D3ULL;
  auto unit = [&state] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<float>(static_cast<uint32_t>(state >> 32)) * 2.3283064e-10f * 2.0f - 1.0f;
  };
  for (int64_t i = 0; i < n; ++i) {
    const float env = 0.6f + 0.4f * std::sin(static_cast<float>(i) * 2.0e-4f);
    p.reference[static_cast<size_t>(i)] = 0.3f * env * unit();
  }
  float room = 0.0f;
  for (int64_t i = 0; i < n; ++i) {
    const float far = i >= kEchoDelay ? p.reference[static_cast<size_t>(i - kEchoDelay)] : 0.0f;
    room = room * 0.7f + far * 0.3f;
    const bool talking = (i / 96000) % 3 == 1;
    const float t = static_cast<float>(i) / 48000.0f;
    const float near = talking ? 0.2f * std::sin(6.2831853f * 220.0f * t) +
                                     0.1f * std::sin(6.2831853f * 1330.0f * t)
                               : 0.0f;
    p.mic[static_cast<size_t>(i)] = 0.5f * room + near + 0.002f * unit();
  }
  return p;
}

// Times `count` executions of a prepared real-input transform pair.
struct Transforms {
  float* real;
  fftwf_complex* spectrum;
  fftwf_plan forward;
  fftwf_plan inverse;
  explicit Transforms(int n) {
    real = fftwf_alloc_real(static_cast<size_t>(n));
    spectrum = fftwf_alloc_complex(static_cast<size_t>(n / 2 + 1));
    for (int i = 0; i < n; ++i) real[i] = static_cast<float>((i * 7919) % 1000) * 0.001f - 0.5f;
    forward = fftwf_plan_dft_r2c_1d(n, real, spectrum, FFTW_ESTIMATE);
    inverse = fftwf_plan_dft_c2r_1d(n, spectrum, real, FFTW_ESTIMATE | FFTW_DESTROY_INPUT);
  }
  ~Transforms() {
    fftwf_destroy_plan(forward);
    fftwf_destroy_plan(inverse);
    fftwf_free(real);
    fftwf_free(spectrum);
  }
  // Seconds for `forwards` forward and `inverses` inverse transforms.
  double time(int64_t forwards, int64_t inverses) const {
    const double t0 = now();
    for (int64_t i = 0; i < forwards; ++i) fftwf_execute(forward);
    for (int64_t i = 0; i < inverses; ++i) fftwf_execute(inverse);
    return now() - t0;
  }
};

long peakRssKiB() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

// FFTW's thread support lives in a library of its own; it is loaded here
// only to measure it, since the canceller runs on its caller's thread.
void measureThreads(int64_t searches) {
  void* lib = dlopen("libfftw3f_threads.so.3", RTLD_NOW | RTLD_GLOBAL);
  if (lib == nullptr) {
    std::printf("fftwf threads: library not available (%s)\n", dlerror());
    return;
  }
  auto initThreads = reinterpret_cast<int (*)()>(dlsym(lib, "fftwf_init_threads"));
  auto withThreads = reinterpret_cast<void (*)(int)>(dlsym(lib, "fftwf_plan_with_nthreads"));
  if (initThreads == nullptr || withThreads == nullptr || initThreads() == 0) {
    std::printf("fftwf threads: cannot initialise\n");
    return;
  }
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  for (int threads : {1, 2, 4}) {
    withThreads(threads);
    Transforms t(kLong);
    t.time(2, 1);  // warm
    const double s = t.time(2 * searches, searches);
    std::printf("fftwf threads=%d (cores %ld): %lld x (2 r2c + 1 c2r) of 2^20 points: %.1f ms "
                "(%.2f ms per search)\n",
                threads, cores, static_cast<long long>(searches), s * 1e3,
                s * 1e3 / static_cast<double>(searches));
  }
  withThreads(1);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 600.0;
  const auto n = static_cast<int64_t>(seconds * kRate);
  if (n < 1024) {
    std::fprintf(stderr, "aec_bench: need at least 1024 samples\n");
    return 1;
  }
  // The diagnostics line goes to a scratch home, not the user's log.
  char home[] = "/tmp/aec_bench.XXXXXX";
  if (mkdtemp(home) != nullptr) setenv("HOME", home, 1);

  const Pair pair = makePair(n);
  std::unique_ptr<EchoCanceller> canceller = EchoCanceller::create();
  if (!canceller) {
    std::fprintf(stderr, "aec_bench: EchoCanceller init failed\n");
    return 1;
  }
  const long rssBefore = peakRssKiB();
  const double t0 = now();
  const std::vector<float> cleaned = canceller->process(pair.mic, pair.reference, kRate);
  const double processSeconds = now() - t0;
  const long rssAfter = peakRssKiB();

  // What that call transformed: per frame two forward and one inverse short
  // transform; per segment (10 s) one delay search of two forward and one
  // inverse long transform (every segment here is loud enough to search).
  const int64_t frames = canceller->dFrames();
  const int64_t segment = static_cast<int64_t>(kRate * 10.0);
  const int64_t searches = (n + segment - 1) / segment;
  Transforms shortT(kShort);
  Transforms longT(kLong);
  shortT.time(2, 1);
  longT.time(2, 1);
  const double shortSeconds = shortT.time(2 * frames, frames);
  const double longSeconds = longT.time(2 * searches, searches);
  const double bareSeconds = shortSeconds + longSeconds;

  std::printf("audio: %.0f s at 48 kHz (%lld samples), %lld frames, %lld delay searches\n", seconds,
              static_cast<long long>(n), static_cast<long long>(frames),
              static_cast<long long>(searches));
  std::printf("process: %.3f s = %.0f x realtime (output %zu samples)\n", processSeconds,
              seconds / processSeconds, cleaned.size());
  std::printf("bare FFTW r2c/c2r, same sizes and counts: %.3f s (1024-point %.3f s, 2^20-point "
              "%.3f s) = %.0f x realtime\n",
              bareSeconds, shortSeconds, longSeconds, seconds / bareSeconds);
  std::printf("process / bare transforms: %.2f\n", processSeconds / bareSeconds);
  std::printf("peak RSS: %.1f MiB before process (tracks), %.1f MiB after; the two input tracks "
              "are %.1f MiB, the output %.1f MiB\n",
              static_cast<double>(rssBefore) / 1024.0, static_cast<double>(rssAfter) / 1024.0,
              static_cast<double>(2 * n * 4) / 1048576.0, static_cast<double>(n * 4) / 1048576.0);
  measureThreads(searches);
  std::filesystem::remove_all(home);
  return 0;
}
