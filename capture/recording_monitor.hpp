#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Watches a recording as it goes, for the live status line and for the
// warnings that save a take: a microphone that gives only digital silence, a
// source that stops delivering, a disk that is about to fill up. Fed from the
// capture queue, read from the status ticker; times are seconds since the
// recording began.
class RecordingMonitor {
 public:
  enum class Source { sys, mic };

  // Seconds since this monitor was made, on the monotonic clock: the `now`
  // of the live recording.
  double elapsed() const;

  // A running source is watched from `now` on: from then it should deliver.
  void sourceStarted(Source source, double now);
  // One delivered buffer of mono samples at `rate`, as it was appended.
  void onSamples(Source source, double rate, std::span<const float> mono, double now);

  // The process itself was stopped (Ctrl-Z, SIGSTOP) between `from` (when
  // it was last seen running) and `now`: no source could be heard meanwhile,
  // so that time does not count against them. Each source's wait for its
  // next delivery goes on from where it was when the process stopped. What
  // the server lost meanwhile comes as silence in the backlog that follows:
  // the microphone's silence is judged again once that has come over.
  void processResumed(double from, double now);

  // The warnings that fell due at `now`, each at most once per recording;
  // freeBytes is the free space on the output's filesystem, when known.
  std::vector<std::string> dueWarnings(double now, std::optional<uint64_t> freeBytes);

  // The status line at `now`: elapsed time, then per watched source a level
  // bar and the peak since the previous status line in dBFS (and a clip
  // mark), then the spool's size and the free space. Starts a new peak
  // interval.
  std::string statusText(double now, uint64_t spoolBytes, std::optional<uint64_t> freeBytes);

  static constexpr double kSilentMicSeconds = 10.0;
  static constexpr double kNothingDeliveredSeconds = 2.0;
  static constexpr double kLowDiskMinutes = 10.0;

 private:
  struct Track {
    bool watched = false;
    double rate = 0.0;
    double lastDelivery = 0.0;   // when it last delivered, or started
    float intervalPeak = 0.0f;   // since the previous status line
    double clippedAt = -1.0;     // last time a sample reached full scale
    int64_t zeroRun = 0;         // exact zeros in a row, up to the last sample
    bool warnedSilent = false;
    bool warnedNothing = false;
  };
  Track& track(Source source) { return source == Source::sys ? sys_ : mic_; }
  std::string levelText(const char* label, Track& t, double now);
  // Disk bytes one second of recording takes: the spool (float samples of
  // both sources) and the files the finish writes (16-bit mix and tracks).
  double bytesPerSecond() const;

  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::mutex mutex_;  // guards everything below: the queue writes, the ticker reads
  Track sys_;
  Track mic_;
  bool warnedDisk_ = false;
  double silenceJudgedFrom_ = 0.0;  // no "muted?" before this instant
};
