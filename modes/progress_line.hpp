#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// The progress of a long job on a terminal: one status line rewritten in
// place with the percentage done and the time left. Nothing for a short job
// or when standard error is not a terminal. Removed when destroyed.
class ProgressLine {
 public:
  // `total` units of work, `seconds` of audio they stand for: jobs under
  // kMinimumSeconds show nothing.
  ProgressLine(int64_t total, double seconds);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // `units` more done; the line is redrawn at most four times a second.
  void advance(int64_t units);

  // Removes the line for good (later advances show nothing).
  void stop();

  // The line's text when `done` of `total` took `elapsed` seconds.
  static std::string text(int64_t done, int64_t total, double elapsed);

  static constexpr double kMinimumSeconds = 600.0;

 private:
  using Clock = std::chrono::steady_clock;
  const int64_t total_;
  bool shown_;
  int64_t done_ = 0;
  const Clock::time_point start_ = Clock::now();
  Clock::time_point lastDrawn_{};
};
