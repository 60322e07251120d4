#include "aec/aec_diagnostics.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "aec/aec_constants.hpp"
#include "base/console.hpp"
#include "base/home_directory.hpp"

namespace {

using aec::kShownDelays;
using aec::kSilentMeanSquare;

std::string delaysInMs(const std::vector<DelaySeg>& segs, double sampleRate) {
  std::string out;
  const size_t shown = std::min(kShownDelays, segs.size());
  for (size_t i = 0; i < shown; ++i) {
    if (i > 0) out.push_back(',');
    const double ms = (static_cast<double>(segs[i].delay) / sampleRate) * 1000.0;
    out += formatLine("%.0f", ms);
  }
  return out;
}

}  // namespace

// Later segments are left out of the delays; the level change of a silent
// track is 0 dB rather than an infinite or undefined figure.
std::string formatAecLine(const AecStats& stats) {
  const float meanSquareOriginal = stats.meanSquareOriginal;
  const float meanSquareCleaned = stats.meanSquareCleaned;
  float micDelta = 0.0f;
  if (meanSquareOriginal > kSilentMeanSquare && meanSquareCleaned > kSilentMeanSquare) {
    micDelta = 10.0f * std::log10(meanSquareCleaned / meanSquareOriginal);
  }
  const float frames = static_cast<float>(stats.frames);
  const float cohMean = stats.cohSum / frames;
  const float farEndPct = (static_cast<float>(stats.farEnd) * 100.0f) / frames;
  const float engagedPct = (static_cast<float>(stats.active) * 100.0f) / frames;
  return formatLine(
      "[aec] applied=%s delayMs=[%s] frames=%lld farEnd=%.0f%% engaged=%.0f%% cohMean=%.2f "
      "cohMax=%.2f mic\u0394=%.1fdB",
      stats.applied ? "yes" : "no(reverted)", delaysInMs(stats.segs, stats.sampleRate).c_str(),
      static_cast<long long>(stats.frames), static_cast<double>(farEndPct),
      static_cast<double>(engagedPct), static_cast<double>(cohMean),
      static_cast<double>(stats.cohMax), static_cast<double>(micDelta));
}

std::string aecLogPath() {
  std::string home = homeDirectory();
  if (home.empty()) return {};
  if (home.back() != '/') home.push_back('/');
  return home + ".narup-aec.log";
}

void appendAecLog(std::string_view line) {
  const std::string path = aecLogPath();
  if (path.empty()) return;
  std::string bytes(line);
  bytes.push_back('\n');
  // An existing log is appended to; otherwise the line becomes the whole
  // content of a new file (rw-r--r-- before the umask: nothing in it is
  // private, and other tools may read the history).
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  writeAll(fd, bytes.data(), bytes.size());
  ::close(fd);
}
