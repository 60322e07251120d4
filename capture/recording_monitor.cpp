#include "capture/recording_monitor.hpp"

#include <algorithm>
#include <cmath>

#include "base/console.hpp"

namespace {

// The level bar spans 60 dB: below -60 dBFS nothing shows, full scale fills it.
constexpr int kBarCells = 10;
constexpr double kBarFloorDb = -60.0;
// A clip stays marked for a second, so that a short one is not missed.
constexpr double kClipHoldSeconds = 1.0;
// What a source's rate is taken as before it has delivered.
constexpr double kAssumedRate = 48000.0;

std::string elapsedText(double seconds) {
  const long long s = seconds > 0.0 ? static_cast<long long>(seconds) : 0;
  return formatLine("%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
}

std::string bytesText(uint64_t bytes) {
  const double b = static_cast<double>(bytes);
  if (b >= 1e9) return formatLine("%.1f GB", b / 1e9);
  if (b >= 1e6) return formatLine("%.1f MB", b / 1e6);
  return formatLine("%.0f kB", b / 1e3);
}

std::string barText(double db) {
  const double filled = (db - kBarFloorDb) / -kBarFloorDb * kBarCells;
  std::string bar;
  for (int i = 0; i < kBarCells; ++i) bar += (i < filled) ? "\u2588" : "\u00b7";
  return bar;
}

}  // namespace

double RecordingMonitor::elapsed() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void RecordingMonitor::sourceStarted(Source source, double now) {
  std::lock_guard<std::mutex> guard(mutex_);
  Track& t = track(source);
  t.watched = true;
  t.lastDelivery = now;
}

void RecordingMonitor::onSamples(Source source, double rate, std::span<const float> mono,
                                 double now) {
  std::lock_guard<std::mutex> guard(mutex_);
  Track& t = track(source);
  t.watched = true;
  t.rate = rate;
  t.lastDelivery = now;
  for (float x : mono) {
    const float a = std::fabs(x);
    if (a > t.intervalPeak) t.intervalPeak = a;  // NaN never wins a comparison
    if (a >= 1.0f) t.clippedAt = now;
    t.zeroRun = (x == 0.0f) ? t.zeroRun + 1 : 0;
  }
}

void RecordingMonitor::processResumed(double from, double now) {
  std::lock_guard<std::mutex> guard(mutex_);
  // The stop began somewhere after `from`, and a delivery since then may
  // have come before it or after the resumption: every wait is moved on by
  // the whole stretch, but never beyond now (which a delivery just after the
  // resumption is close to anyway).
  for (Track* t : {&sys_, &mic_}) t->lastDelivery = std::min(now, t->lastDelivery + (now - from));
  // The backlog and the loss's silence come in a burst, live sound right
  // after: a run of zeros still going this long after is the microphone's.
  silenceJudgedFrom_ = now + kSilentMicSeconds;
}

double RecordingMonitor::bytesPerSecond() const {
  const double sysRate = sys_.watched ? (sys_.rate > 0.0 ? sys_.rate : kAssumedRate) : 0.0;
  const double micRate = mic_.watched ? (mic_.rate > 0.0 ? mic_.rate : kAssumedRate) : 0.0;
  const double outRate = sysRate > 0.0 ? sysRate : micRate;
  const int outFiles = (sysRate > 0.0 && micRate > 0.0) ? 3 : 1;
  return 4.0 * (sysRate + micRate) + 2.0 * outRate * outFiles;
}

std::vector<std::string> RecordingMonitor::dueWarnings(double now,
                                                       std::optional<uint64_t> freeBytes) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<std::string> due;
  const struct {
    Track& t;
    const char* name;
  } tracks[] = {{sys_, "system audio"}, {mic_, "microphone"}};
  for (const auto& [t, name] : tracks) {
    if (!t.watched) continue;
    if (!t.warnedNothing && now - t.lastDelivery >= kNothingDeliveredSeconds) {
      t.warnedNothing = true;
      due.push_back(formatLine("[WARN] %s: nothing delivered for %.0f s", name,
                               kNothingDeliveredSeconds));
    }
  }
  if (mic_.watched && !mic_.warnedSilent && mic_.rate > 0.0 && now >= silenceJudgedFrom_ &&
      static_cast<double>(mic_.zeroRun) >= kSilentMicSeconds * mic_.rate) {
    mic_.warnedSilent = true;
    due.push_back(formatLine("[WARN] microphone: only digital silence for %.0f s — muted?",
                             kSilentMicSeconds));
  }
  if (freeBytes && !warnedDisk_ &&
      static_cast<double>(*freeBytes) < kLowDiskMinutes * 60.0 * bytesPerSecond()) {
    warnedDisk_ = true;
    due.push_back("[WARN] disk: " + bytesText(*freeBytes) +
                  " free on the output's filesystem, less than 10 minutes of recording");
  }
  return due;
}

std::string RecordingMonitor::levelText(const char* label, Track& t, double now) {
  const double db = t.intervalPeak > 0.0f ? 20.0 * std::log10(t.intervalPeak) : -INFINITY;
  std::string text = std::string(label) + " " + barText(db) + " ";
  text += std::isfinite(db) ? formatLine("%5.1f dBFS", db) : std::string(" -inf dBFS");
  const bool clipped = t.clippedAt >= 0.0 && now - t.clippedAt < kClipHoldSeconds;
  text += clipped ? " CLIP" : "     ";
  t.intervalPeak = 0.0f;
  return text;
}

std::string RecordingMonitor::statusText(double now, uint64_t spoolBytes,
                                         std::optional<uint64_t> freeBytes) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::string text = "\u25cf REC " + elapsedText(now);
  if (sys_.watched) text += "  " + levelText("sys", sys_, now);
  if (mic_.watched) text += "  " + levelText("mic", mic_, now);
  text += "  spool " + bytesText(spoolBytes);
  if (freeBytes) text += ", " + bytesText(*freeBytes) + " free";
  return text;
}
