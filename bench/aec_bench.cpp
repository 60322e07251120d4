// Echo canceller benchmark, figures only (nothing here passes or fails):
//   1. a synthetic 10-minute 48 kHz recording cleaned in memory on one
//      thread and on every core: times and checksums (the two must agree);
//   2. `narup-capture --process-files` on a 1-hour pair of WAV files: wall
//      time and peak resident memory, and the peak for a longer pair; the
//      same with `--aec=adaptive`, and its time over the default one's (the
//      faster of two alternating runs each);
//   3. the bare FFTW transforms the 1-hour job needs (337,500 x 3 of 1,024
//      points, 360 x 3 of 2^20 points) on one thread, and with the long ones
//      spread over every core, and all of them shared evenly over every core
//      (the floor for any job that makes them); the ratio of the job's time
//      to the single-thread time.
//
//   build-dir/bench/aec_bench [hours of the longer pair]   (default 3)

#include <fcntl.h>
#include <fftw3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "aec/echo_canceller.hpp"
#include "audio/wav_writer.hpp"

namespace {

constexpr double kRate = 48000.0;
constexpr int64_t kEchoDelay = 1234;  // samples, about 25.7 ms
constexpr int kShort = 1024;
constexpr int kLong = 1 << 20;

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

float unit(uint64_t& state) {
  state = state * 6364136223846793005ULL + 1442695040888963407ULL;
  return static_cast<float>(static_cast<uint32_t>(state >> 32)) * 2.3283064e-10f * 2.0f - 1.0f;
}

float farEnd(int64_t i, uint64_t& state) {
  const float env = 0.6f + 0.4f * std::sin(static_cast<float>(i) * 2.0e-4f);
  return 0.3f * env * unit(state);
}

float nearEnd(int64_t i) {
  if ((i / 96000) % 3 != 1) return 0.0f;
  const float t = static_cast<float>(i) / 48000.0f;
  return 0.2f * std::sin(6.2831853f * 220.0f * t) + 0.1f * std::sin(6.2831853f * 1330.0f * t);
}

// Far end: noise shaped by a slow syllable-like envelope. Microphone: the
// far end delayed, low-passed and attenuated (the room), plus a near-end
// talker (two tones gated on and off) and a little sensor noise.
struct Pair {
  std::vector<float> mic;
  std::vector<float> reference;
};
Pair makePair(int64_t n) {
  Pair p;
  p.reference.resize(static_cast<size_t>(n));
  p.mic.resize(static_cast<size_t>(n));
  uint64_t state = 0x243F6A8885A308D3ULL;
  for (int64_t i = 0; i < n; ++i) p.reference[static_cast<size_t>(i)] = farEnd(i, state);
  float room = 0.0f;
  for (int64_t i = 0; i < n; ++i) {
    const float far = i >= kEchoDelay ? p.reference[static_cast<size_t>(i - kEchoDelay)] : 0.0f;
    room = room * 0.7f + far * 0.3f;
    p.mic[static_cast<size_t>(i)] = 0.5f * room + nearEnd(i) + 0.002f * unit(state);
  }
  return p;
}

// The same kind of pair written to two WAV files a block at a time.
void writePair(int64_t n, const std::string& micPath, const std::string& sysPath) {
  auto mic = Wav16FileWriter::begin(micPath, static_cast<size_t>(n), kRate);
  auto sys = Wav16FileWriter::begin(sysPath, static_cast<size_t>(n), kRate);
  uint64_t farState = 0x243F6A8885A308D3ULL, noiseState = 0x13198A2E03707344ULL;
  std::vector<float> ring(kEchoDelay, 0.0f), m(65536), r(65536);
  float room = 0.0f;
  for (int64_t at = 0; at < n; at += 65536) {
    const int64_t count = std::min<int64_t>(65536, n - at);
    for (int64_t k = 0; k < count; ++k) {
      const int64_t i = at + k;
      float& slot = ring[static_cast<size_t>(i % kEchoDelay)];
      const float far = slot;  // the far end kEchoDelay samples ago (0 at first)
      slot = r[static_cast<size_t>(k)] = farEnd(i, farState);
      room = room * 0.7f + far * 0.3f;
      m[static_cast<size_t>(k)] = 0.5f * room + nearEnd(i) + 0.002f * unit(noiseState);
    }
    mic->write(std::span<const float>(m.data(), static_cast<size_t>(count)));
    sys->write(std::span<const float>(r.data(), static_cast<size_t>(count)));
  }
  mic->commit();
  sys->commit();
}

// FNV-1a over the bit patterns of the samples.
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

// The same over a file's bytes; 0 when it cannot be read.
uint64_t fileChecksum(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return 0;
  uint64_t h = 0xcbf29ce484222325ULL;
  std::vector<unsigned char> buf(1 << 20);
  for (ssize_t n; (n = ::read(fd, buf.data(), buf.size())) > 0;) {
    for (ssize_t i = 0; i < n; ++i) {
      h ^= buf[static_cast<size_t>(i)];
      h *= 0x100000001b3ULL;
    }
  }
  ::close(fd);
  return h;
}

// CPU time of the calling thread.
double cpuNow() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; }

struct ChildRun {
  double seconds = 0.0;
  double cpu = 0.0;  // user + system, all threads
  long peakKiB = 0;
  int status = -1;
};

// The tool on a pair of files (with `--aec=adaptive` when `adaptive`), its
// console output discarded: wall time and the child's peak resident memory.
ChildRun runProcessFiles(const std::string& mic, const std::string& sys, const std::string& out,
                         bool adaptive = false) {
  ChildRun run;
  const double t0 = now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int devnull = ::open("/dev/null", O_WRONLY);
    dup2(devnull, 2);
    execl(NARUP_CAPTURE_BINARY, NARUP_CAPTURE_BINARY, "--process-files", mic.c_str(), sys.c_str(),
          out.c_str(), adaptive ? "--aec=adaptive" : static_cast<char*>(nullptr),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage ru{};
  if (pid > 0 && wait4(pid, &status, 0, &ru) == pid) {
    run.seconds = now() - t0;
    run.peakKiB = ru.ru_maxrss;
    run.cpu = seconds(ru.ru_utime) + seconds(ru.ru_stime);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  return run;
}

// Prepared real-input transforms of one size, on arrays of their own.
struct Transforms {
  float* real;
  fftwf_complex* spectrum;
  fftwf_plan forward;
  fftwf_plan inverse;
  explicit Transforms(int n) {
    real = fftwf_alloc_real(static_cast<size_t>(n));
    spectrum = fftwf_alloc_complex(static_cast<size_t>(n / 2 + 1));
    for (int64_t i = 0; i < n; ++i) real[i] = static_cast<float>((i * 7919) % 1000) * 0.001f - 0.5f;
    forward = fftwf_plan_dft_r2c_1d(n, real, spectrum, FFTW_ESTIMATE);
    inverse = fftwf_plan_dft_c2r_1d(n, spectrum, real, FFTW_ESTIMATE | FFTW_DESTROY_INPUT);
  }
  ~Transforms() {
    fftwf_destroy_plan(forward);
    fftwf_destroy_plan(inverse);
    fftwf_free(real);
    fftwf_free(spectrum);
  }
  // `count` rounds of two forward and one inverse transform.
  void run(int64_t count) const {
    for (int64_t i = 0; i < count; ++i) {
      fftwf_execute(forward);
      fftwf_execute(forward);
      fftwf_execute(inverse);
    }
  }
};

// Wall seconds (and CPU seconds of all threads in `cpu`) for the long
// transforms' rounds shared out over `threads`.
double longTransformsOn(int threads, int64_t rounds, double& cpu) {
  std::vector<std::unique_ptr<Transforms>> sets;
  for (int t = 0; t < threads; ++t) sets.push_back(std::make_unique<Transforms>(kLong));
  const double t0 = now();
  std::vector<std::thread> workers;
  std::vector<double> cpus(static_cast<size_t>(threads));
  for (int t = 0; t < threads; ++t) {
    const int64_t share = rounds / threads + (t < rounds % threads ? 1 : 0);
    workers.emplace_back([&, t, share] {
      const double c0 = cpuNow();
      sets[static_cast<size_t>(t)]->run(share);
      cpus[static_cast<size_t>(t)] = cpuNow() - c0;
    });
  }
  for (std::thread& w : workers) w.join();
  cpu = 0.0;
  for (double c : cpus) cpu += c;
  return now() - t0;
}

// Wall seconds for every transform of the hour (short and long) shared out
// evenly over `threads`: no job that makes those transforms on this machine
// can finish sooner, whatever else it does.
double allTransformsOn(int threads, int64_t frames, int64_t searches) {
  std::vector<std::unique_ptr<Transforms>> shortSets, longSets;
  for (int t = 0; t < threads; ++t) {
    shortSets.push_back(std::make_unique<Transforms>(kShort));
    longSets.push_back(std::make_unique<Transforms>(kLong));
  }
  const double t0 = now();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    const auto share = [&](int64_t rounds) { return rounds / threads + (t < rounds % threads ? 1 : 0); };
    workers.emplace_back([&, t, shortShare = share(frames), longShare = share(searches)] {
      shortSets[static_cast<size_t>(t)]->run(shortShare);
      longSets[static_cast<size_t>(t)]->run(longShare);
    });
  }
  for (std::thread& w : workers) w.join();
  return now() - t0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const double longHours = argc > 1 ? std::atof(argv[1]) : 3.0;
  const int cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
  char dir[] = "/tmp/aec_bench.XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  const std::string base = dir;
  setenv("HOME", dir, 1);  // the diagnostics log goes to the scratch folder

  // 1. In memory, 10 minutes, one thread and every core.
  {
    const Pair pair = makePair(static_cast<int64_t>(600 * kRate));
    std::unique_ptr<EchoCanceller> canceller = EchoCanceller::create();
    if (!canceller) return 1;
    for (int threads : {1, cores}) {
      canceller->setThreads(threads);
      const double t0 = now();
      const AecResult r = canceller->process(pair.mic, pair.reference, kRate);
      const double t = now() - t0;
      std::printf("in memory, 600 s, %d thread(s): %.3f s, checksum %016llx\n", threads, t,
                  static_cast<unsigned long long>(checksum(r.cleaned)));
    }
  }

  // 2. The tool on files: 1 hour timed, and the peak memory for 1 hour and
  // for the longer pair.
  const std::string mic1 = base + "/mic1.wav", sys1 = base + "/sys1.wav", out = base + "/out.wav";
  writePair(static_cast<int64_t>(3600 * kRate), mic1, sys1);
  // The two cancellers take turns, twice, and each keeps its faster run:
  // on a shared machine the ratio then compares like with like.
  ChildRun hour, adaptiveHour;
  uint64_t adaptiveSum = 0;
  for (int round = 0; round < 2; ++round) {
    const ChildRun d = runProcessFiles(mic1, sys1, out);
    const ChildRun a = runProcessFiles(mic1, sys1, out, true);
    if (round == 0 || d.seconds < hour.seconds) hour = d;
    if (round == 0 || a.seconds < adaptiveHour.seconds) adaptiveHour = a;
    const uint64_t sum = fileChecksum(out);
    if (round == 1 && sum != adaptiveSum) std::printf("the adaptive output differs between runs\n");
    adaptiveSum = sum;
  }
  std::filesystem::remove(mic1);
  std::filesystem::remove(sys1);
  const std::string micL = base + "/micL.wav", sysL = base + "/sysL.wav";
  writePair(static_cast<int64_t>(longHours * 3600 * kRate), micL, sysL);
  const ChildRun longer = runProcessFiles(micL, sysL, out);
  const ChildRun adaptiveLonger = runProcessFiles(micL, sysL, out, true);
  std::filesystem::remove_all(base);

  // 3. The bare transforms of the 1-hour job.
  const int64_t frames = 337500, searches = 360;
  const Transforms shortT(kShort);
  shortT.run(10);
  const double t0 = now(), c0 = cpuNow();
  shortT.run(frames);
  const double shortSeconds = now() - t0, shortCpu = cpuNow() - c0;
  double longOneCpu = 0.0, longAllCpu = 0.0;
  const double longOne = longTransformsOn(1, searches, longOneCpu);
  const double longAll = longTransformsOn(cores, searches, longAllCpu);
  const double evenAll = allTransformsOn(cores, frames, searches);
  const double bareOne = shortSeconds + longOne, bareAll = shortSeconds + longAll;
  const double bareCpu = shortCpu + longOneCpu;

  std::printf("--process-files, 1 h 48 kHz pair: %.2f s (%.0f x realtime), %.2f s cpu, peak RSS "
              "%.1f MiB, status %d\n",
              hour.seconds, 3600.0 / hour.seconds, hour.cpu, hour.peakKiB / 1024.0, hour.status);
  std::printf("--process-files, %.1f h pair: %.2f s, peak RSS %.1f MiB (%.2f x the 1 h peak), "
              "status %d\n",
              longHours, longer.seconds, longer.peakKiB / 1024.0,
              static_cast<double>(longer.peakKiB) / static_cast<double>(std::max(hour.peakKiB, 1L)),
              longer.status);
  std::printf("--process-files --aec=adaptive, 1 h pair: %.2f s (%.0f x realtime), %.2f s cpu, "
              "peak RSS %.1f MiB, status %d, output %016llx; %.2f x the default canceller's time "
              "(target at most 2.5), %.2f x its cpu (faster of two turns each)\n",
              adaptiveHour.seconds, 3600.0 / adaptiveHour.seconds, adaptiveHour.cpu,
              adaptiveHour.peakKiB / 1024.0, adaptiveHour.status,
              static_cast<unsigned long long>(adaptiveSum), adaptiveHour.seconds / hour.seconds,
              adaptiveHour.cpu / hour.cpu);
  std::printf("--process-files --aec=adaptive, %.1f h pair: %.2f s, peak RSS %.1f MiB (%.2f x the "
              "1 h peak, target at most 1.10), status %d\n",
              longHours, adaptiveLonger.seconds, adaptiveLonger.peakKiB / 1024.0,
              static_cast<double>(adaptiveLonger.peakKiB) /
                  static_cast<double>(std::max(adaptiveHour.peakKiB, 1L)),
              adaptiveLonger.status);
  std::printf("bare transforms of 1 h: 1 thread %.2f s, %.2f s cpu (1024-point %.2f s, 2^20-point "
              "%.2f s); the long ones on %d threads: %.2f s (%.2f of one thread)\n",
              bareOne, bareCpu, shortSeconds, longOne, cores, bareAll, bareAll / bareOne);
  std::printf("every transform of 1 h shared evenly over %d threads: %.2f s (%.2f of one thread), "
              "the least any job making them can take here\n",
              cores, evenAll, evenAll / bareOne);
  std::printf("--process-files 1 h / single-thread bare transforms: %.2f wall (target 0.6), "
              "%.2f cpu\n",
              hour.seconds / bareOne, hour.cpu / bareCpu);
  return 0;
}
