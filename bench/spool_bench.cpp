// A recording's memory and its finish from the spool, on one simulated hour
// of both sources at 48 kHz in 10 ms buffers: resident memory after one and
// after sixty minutes of appends (the writer's work done once a simulated
// second, as its thread does), the cost of one append, then the finish from
// the spool (as after a kill: --recover) with its peak memory and two times:
// when the last of the three files was renamed into place (its change time)
// and when the spool was gone.
// Pass --echo-cancel to include the canceller in the finish, and
// --aec=adaptive as well for the adaptive one.
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "audio/channel_path.hpp"
#include "bench/finish_measures.hpp"
#include "capture/spool_claim.hpp"
#include "capture/spool_paths.hpp"
#include "capture/spool_recover.hpp"
#include "capture/track_spool.hpp"

namespace {

using bench::latestChange, bench::realNow, bench::since, bench::statusMB;

constexpr int kBuffer = 480;  // 10 ms at 48 kHz
constexpr int kBuffersPerSecond = 100;
constexpr int kSeconds = 3600;

}  // namespace

int main(int argc, char** argv) {
  const bool echoCancel = argc > 1 && std::strcmp(argv[1], "--echo-cancel") == 0;
  const bool adaptive = argc > 2 && std::strcmp(argv[2], "--aec=adaptive") == 0;
  const auto dir = std::filesystem::temp_directory_path() / ("narup-spool-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string out = (dir / "hour.wav").string();
  const SpoolPaths paths = spoolPaths(out);
  std::printf("resident at start: %.1f MB\n", statusMB("VmRSS:"));
  {
    // Held as a recording holds it, and let go as a killed one does.
    const auto claim = claimSpool(out, true);
    TrackSpool sys(paths.sys, "sys"), mic(paths.mic, "mic");
    std::vector<float> sysBuffer(kBuffer), micBuffer(kBuffer);
    double appendSeconds = 0.0;
    for (int s = 1; s <= kSeconds; ++s) {
      for (int b = 0; b < kBuffersPerSecond; ++b) {
        for (int i = 0; i < kBuffer; ++i) {
          const float t = static_cast<float>(((s * kBuffersPerSecond + b) * kBuffer + i) % 48000) / 48000.0f;
          sysBuffer[i] = 0.3f * std::sin(6.2831853f * 440.0f * t);
          micBuffer[i] = 0.1f * std::sin(6.2831853f * 300.0f * t);
        }
        const auto t0 = std::chrono::steady_clock::now();
        sys.append(48000, sysBuffer);
        mic.append(48000, micBuffer);
        appendSeconds += since(t0);
      }
      sys.flushNow();
      mic.flushNow();
      if (s == 60 || s == kSeconds)
        std::printf("resident after %d min: %.1f MB (spool buffers %zu + %zu samples)\n", s / 60,
                    statusMB("VmRSS:"), sys.samplesInMemory(), mic.samplesInMemory());
    }
    std::printf("one append of 10 ms: %.0f ns\n", appendSeconds / (2.0 * kSeconds * kBuffersPerSecond) * 1e9);
  }  // the spools closed: what a recording killed now leaves on disk

  // The finish in a child of its own, so that its peak memory is its own.
  std::fflush(stdout);
  const auto t0 = std::chrono::steady_clock::now();
  const double realStart = realNow();
  const pid_t child = ::fork();
  if (child == 0) {
    const int status = recoverRecording(out, echoCancel, adaptive);
    // The monotonic clock is the machine's: t0 holds in the child too.
    const double removed = since(t0);
    const double inPlace = latestChange({out, channelPath(out, "mic"), channelPath(out, "sys")}) - realStart;
    std::printf("finish from the spool: files in place after %.1f s, spool removed after %.1f s, peak resident %.1f MB\n",
                inPlace, removed, statusMB("VmHWM:"));
    std::fflush(stdout);
    _exit(status);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  std::printf("finish from the spool%s: process ended after %.1f s, status %d\n",
              !echoCancel ? "" : adaptive ? " with adaptive echo cancellation" : " with echo cancellation",
              since(t0), WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  std::filesystem::remove_all(dir);
  return 0;
}
