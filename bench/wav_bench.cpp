// WAV throughput on one hour of 48 kHz mono: building and writing the file,
// reading and converting it back, and the conversion alone on bytes already
// in memory. Figures are file bytes per second (MB = 10^6 bytes); the file
// sits in the page cache, so disk speed is not what is measured.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audio/wav.hpp"
#include "audio/wav_float.hpp"

namespace {

constexpr double kRate = 48000.0;
constexpr size_t kSamples = 3600 * 48000;
constexpr int kRuns = 3;

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Best of kRuns: the least disturbed by whatever else the machine does.
template <typename F>
double bestSeconds(F&& f) {
  double best = 1e300;
  for (int i = 0; i < kRuns; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    best = std::min(best, seconds(t0));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path dir = argc > 1 ? argv[1] : std::filesystem::temp_directory_path();
  const std::string path = (dir / ("narup-wav-bench-" + std::to_string(::getpid()) + ".wav")).string();

  std::vector<float> track(kSamples);
  for (size_t i = 0; i < kSamples; ++i)
    track[i] = 0.5f * static_cast<float>(std::sin(0.001 * static_cast<double>(i)));
  const double fileMB = (44.0 + 2.0 * kSamples) / 1e6;

  const double write = bestSeconds([&] { writeWav16(track, kRate, path); });
  size_t got = 0;
  const double read = bestSeconds([&] {
    const auto t = readWav16(path);
    got = t ? t->samples.size() : 0;
  });
  if (got != kSamples) {
    std::fprintf(stderr, "wav_bench: read back %zu samples, expected %zu\n", got, kSamples);
    return 1;
  }
  std::vector<std::byte> bytes;
  {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> raw{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    bytes.resize(raw.size());
    std::copy_n(reinterpret_cast<const std::byte*>(raw.data()), raw.size(), bytes.data());
  }
  const double convert = bestSeconds([&] { got = readWav16Bytes(bytes)->samples.size(); });
  std::filesystem::remove(path);

  std::printf("wav_bench: 1 h of 48 kHz mono, %.1f MB file, %.1f MB float track, best of %d\n",
              fileMB, kSamples * 4.0 / 1e6, kRuns);
  std::printf("write (convert + one write):     %7.0f MB/s  %.3f s\n", fileMB / write, write);
  std::printf("read (one read + convert):       %7.0f MB/s  %.3f s\n", fileMB / read, read);
  std::printf("convert only (bytes in memory):  %7.0f MB/s  %.3f s\n", fileMB / convert, convert);

  // The spool's header is made anew after every write (twice a second per
  // track), the RF64 form past 4 GiB: what one costs.
  constexpr int kHeaders = 1000000;
  volatile unsigned sink = 0;  // keeps the headers from being optimised away
  for (const std::uint64_t frames : {std::uint64_t{48000}, std::uint64_t{1} << 31}) {
    const double t = bestSeconds([&] {
      for (int i = 0; i < kHeaders; ++i)
        sink = sink + std::to_integer<unsigned>(wavHeaderFloat32(frames + static_cast<std::uint64_t>(i), kRate)[4]);
    });
    std::printf("spool header (%s):            %7.1f ns\n", frames >> 31 ? "RF64" : "RIFF", t / kHeaders * 1e9);
  }
  return 0;
}
