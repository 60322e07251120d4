// The finish of one simulated hour of both sources at 48 kHz in each output
// format, from the spool a recording leaves: when the three files are in
// place (the last rename's change time), the finish's peak resident memory
// and the files' sizes. WAV and FLAC take turns, twice, in one run, so that
// their difference is measured under the same load; then Opus, and WAV and
// FLAC with --loudness -16. Pass --echo-cancel to include the canceller.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "aec/echo_canceller.hpp"
#include "audio/channel_path.hpp"
#include "capture/finish_write.hpp"
#include "capture/float_track.hpp"
#include "capture/track_spool.hpp"
#include "bench/finish_measures.hpp"

namespace {

constexpr int kRate = 48000;
constexpr int kSeconds = 3600;

using bench::latestChange, bench::realNow, bench::statusMB;

// Ten seconds of something like a voice (five harmonics over a pitch that
// wanders, syllables four a second, pauses), repeated with a noise floor
// 60 dB down: sines alone would flatter the lossless format.
std::vector<float> voice(double pitch, float level) {
  std::vector<float> x(10 * kRate);
  double phase = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double t = static_cast<double>(i) / kRate;
    phase += 2 * M_PI * pitch * (1.0 + 0.1 * std::sin(2 * M_PI * 0.3 * t)) / kRate;
    double v = 0.0;
    for (int h = 1; h <= 5; ++h) v += std::sin(h * phase) / h;
    const double syllable = std::fmod(t, 2.5) < 2.0 ? std::fabs(std::sin(2 * M_PI * 2 * t)) : 0.0;
    x[i] = level * static_cast<float>(0.5 * v * syllable);
  }
  return x;
}

void makeSpool(const std::string& sysPath, const std::string& micPath) {
  const std::vector<float> far = voice(120, 0.3f), near = voice(210, 0.1f);
  TrackSpool sys(sysPath, "sys"), mic(micPath, "mic");
  std::vector<float> s(kRate), m(kRate);
  std::uint32_t noise = 1;
  const auto hiss = [&] {
    noise = noise * 1664525u + 1013904223u;
    return static_cast<float>(static_cast<std::int32_t>(noise)) * (0.001f / 2147483648.0f);
  };
  for (int sec = 0; sec < kSeconds; ++sec) {
    for (int i = 0; i < kRate; ++i) {
      const std::size_t at = static_cast<std::size_t>((sec % 10) * kRate + i);
      s[i] = far[at] + hiss();
      m[i] = near[at] + 0.5f * far[(at + far.size() - 960) % far.size()] + hiss();  // its echo 20 ms late
    }
    sys.append(kRate, s);
    mic.append(kRate, m);
    sys.flushNow();
    mic.flushNow();
  }
}

struct Result {
  double inPlace = 0.0, peakMB = 0.0, cpu = 0.0;
  double sizesMB[3] = {0, 0, 0};
};

// One finish in a child process, so that its peak memory is its own.
Result finish(const std::string& sysPath, const std::string& micPath, const std::string& out, bool echoCancel,
              std::optional<double> loudness) {
  const std::vector<std::string> files = {out, channelPath(out, "mic"), channelPath(out, "sys")};
  for (const std::string& f : files) std::filesystem::remove(f);
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  const double start = realNow();
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeFds[0]);
    std::optional<SpooledTrack> sys = openSpooledTrack(sysPath), mic = openSpooledTrack(micPath);
    if (!sys || !mic) _exit(1);
    const TrackSources tracks{sys->source, mic->source, sys->rate, mic->rate, loudness};
    const bool ok = writeRecording(tracks, echoCancel, out, [] { return EchoCanceller::create(); }).empty();
    Result r;
    r.inPlace = latestChange(files) - start;
    r.peakMB = statusMB("VmHWM:");
    rusage use{};
    ::getrusage(RUSAGE_SELF, &use);
    r.cpu = static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
            static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) * 1e-6;
    if (::write(pipeFds[1], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) _exit(1);
    _exit(ok ? 0 : 1);
  }
  ::close(pipeFds[1]);
  Result r;
  const bool got = ::read(pipeFds[0], &r, sizeof r) == static_cast<ssize_t>(sizeof r);
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) std::printf("  (%s: the finish failed)\n", out.c_str());
  for (int i = 0; i < 3; ++i) {
    std::error_code ec;
    r.sizesMB[i] = static_cast<double>(std::filesystem::file_size(files[i], ec)) / 1e6;
  }
  return r;
}

void print(const char* name, const Result& r) {
  std::printf("%-20s in place after %6.2f s (processor %6.2f s), peak resident %5.1f MB, mix %6.1f + mic %6.1f + sys %6.1f MB\n",
              name, r.inPlace, r.cpu, r.peakMB, r.sizesMB[0], r.sizesMB[1], r.sizesMB[2]);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const bool echoCancel = argc > 1 && std::strcmp(argv[1], "--echo-cancel") == 0;
  const auto dir = std::filesystem::temp_directory_path() / ("narup-format-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string sysPath = (dir / "sys.wav").string(), micPath = (dir / "mic.wav").string();
  makeSpool(sysPath, micPath);
  std::printf("one hour of both sources at 48 kHz%s; the finish's stderr lines are left out\n",
              echoCancel ? ", with echo cancellation" : "");
  std::fflush(stdout);
  // The finish prints its lines on stderr: they would drown the figures.
  const int savedErr = ::dup(STDERR_FILENO);
  std::FILE* devNull = std::fopen("/dev/null", "w");
  ::dup2(::fileno(devNull), STDERR_FILENO);

  double wavBest = 1e9, flacBest = 1e9;
  for (int round = 0; round < 2; ++round) {
    const Result wav = finish(sysPath, micPath, (dir / "hour.wav").string(), echoCancel, std::nullopt);
    print("WAV", wav);
    const Result flac = finish(sysPath, micPath, (dir / "hour.flac").string(), echoCancel, std::nullopt);
    print("FLAC", flac);
    std::printf("  FLAC in place %+.2f s after WAV, %+.2f s of processor time (this round)\n", flac.inPlace - wav.inPlace,
                flac.cpu - wav.cpu);
    wavBest = std::min(wavBest, wav.inPlace);
    flacBest = std::min(flacBest, flac.inPlace);
  }
  std::printf("best of two: WAV %.2f s, FLAC %.2f s: FLAC %+.2f s\n", wavBest, flacBest, flacBest - wavBest);
  print("Opus", finish(sysPath, micPath, (dir / "hour.opus").string(), echoCancel, std::nullopt));
  print("WAV --loudness -16", finish(sysPath, micPath, (dir / "hour.wav").string(), echoCancel, -16.0));
  print("FLAC --loudness -16", finish(sysPath, micPath, (dir / "hour.flac").string(), echoCancel, -16.0));

  ::dup2(savedErr, STDERR_FILENO);
  std::fclose(devNull);
  std::filesystem::remove_all(dir);
  return 0;
}
