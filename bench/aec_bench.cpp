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

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "aec/echo_canceller.hpp"

namespace {

constexpr double kRate = 48000.0;
constexpr int kShort = 1024;
constexpr int kLong = 1 << 20;
constexpr int64_t kEchoDelay = 1234;  // samples, about 25.7 ms
constexpr int kRuns = 3;

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// CPU time of this thread: on a machine shared with other work it moves far
// less than wall time, so the ratios are given on both.
double cpuNow() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Timing {
  double wall = 0.0;
  double cpu = 0.0;
};

template <class F>
Timing timed(F&& f) {
  const double w0 = now(), c0 = cpuNow();
  f();
  return {now() - w0, cpuNow() - c0};
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
  // Time of `forwards` forward and `inverses` inverse transforms.
  Timing time(int64_t forwards, int64_t inverses) const {
    return timed([&] {
      for (int64_t i = 0; i < forwards; ++i) fftwf_execute(forward);
      for (int64_t i = 0; i < inverses; ++i) fftwf_execute(inverse);
    });
  }
};

// FNV-1a over the bit patterns of the samples: any change in any sample of
// the result shows as a different checksum.
uint64_t checksum(const std::vector<float>& samples) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (float v : samples) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    for (int b = 0; b < 4; ++b) {
      h ^= (bits >> (8 * b)) & 0xffu;
      h *= 0x100000001b3ULL;
    }
  }
  return h;
}

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
    double s = 1e30;
    for (int run = 0; run < kRuns; ++run) s = std::min(s, t.time(2 * searches, searches).wall);
    std::printf("fftwf threads=%d (cores %ld): %lld x (2 r2c + 1 c2r) of 2^20 points: %.1f ms "
                "wall (%.2f ms per search)\n",
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
  // Each measurement is the best of kRuns, so that other work on the
  // machine disturbs the figures as little as possible.
  const long rssBefore = peakRssKiB();
  long rssAfter = 0;
  std::vector<float> cleaned;
  int64_t frames = 0;
  Timing proc{1e30, 1e30};
  for (int run = 0; run < kRuns; ++run) {
    cleaned = {};
    const Timing t = timed([&] {
      AecResult r = canceller->process(pair.mic, pair.reference, kRate);
      frames = r.stats ? r.stats->frames : 0;
      cleaned = std::move(r.cleaned);
    });
    proc = {std::min(proc.wall, t.wall), std::min(proc.cpu, t.cpu)};
    if (run == 0) rssAfter = peakRssKiB();  // the peak of one call
  }

  // What that call transformed: per frame two forward and one inverse short
  // transform; per segment (10 s) one delay search of two forward and one
  // inverse long transform (every segment here is loud enough to search).
  const int64_t segment = static_cast<int64_t>(kRate * 10.0);
  const int64_t searches = (n + segment - 1) / segment;
  Transforms shortT(kShort);
  Transforms longT(kLong);
  shortT.time(2, 1);
  longT.time(2, 1);
  Timing shortT1{1e30, 1e30}, longT1{1e30, 1e30};
  for (int run = 0; run < kRuns; ++run) {
    const Timing a = shortT.time(2 * frames, frames);
    const Timing b = longT.time(2 * searches, searches);
    shortT1 = {std::min(shortT1.wall, a.wall), std::min(shortT1.cpu, a.cpu)};
    longT1 = {std::min(longT1.wall, b.wall), std::min(longT1.cpu, b.cpu)};
  }
  const Timing bare{shortT1.wall + longT1.wall, shortT1.cpu + longT1.cpu};

  std::printf("audio: %.0f s at 48 kHz (%lld samples), %lld frames, %lld delay searches\n", seconds,
              static_cast<long long>(n), static_cast<long long>(frames),
              static_cast<long long>(searches));
  std::printf("best of %d runs each\n", kRuns);
  std::printf("process: %.3f s wall = %.0f x realtime; %.3f s cpu = %.0f x realtime "
              "(output %zu samples, checksum %016llx)\n",
              proc.wall, seconds / proc.wall, proc.cpu, seconds / proc.cpu, cleaned.size(),
              static_cast<unsigned long long>(checksum(cleaned)));
  std::printf("bare FFTW r2c/c2r, same sizes and counts: %.3f s wall, %.3f s cpu "
              "(1024-point %.3f s, 2^20-point %.3f s cpu) = %.0f x realtime\n",
              bare.wall, bare.cpu, shortT1.cpu, longT1.cpu, seconds / bare.cpu);
  std::printf("process / bare transforms: %.2f wall, %.2f cpu\n", proc.wall / bare.wall,
              proc.cpu / bare.cpu);
  std::printf("peak RSS: %.1f MiB before process (the two input tracks, %.1f MiB), %.1f MiB "
              "after (output %.1f MiB)\n",
              static_cast<double>(rssBefore) / 1024.0, static_cast<double>(2 * n * 4) / 1048576.0,
              static_cast<double>(rssAfter) / 1024.0, static_cast<double>(n * 4) / 1048576.0);
  measureThreads(searches);
  std::filesystem::remove_all(home);
  return 0;
}
