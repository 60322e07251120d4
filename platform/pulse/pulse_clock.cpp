#include "platform/pulse/pulse_clock.hpp"

#include <chrono>

int64_t RecordingClock::nowMicros() {
  // steady_clock is CLOCK_MONOTONIC on Linux: no jumps when the wall time is
  // set, and the same time base as pa_rtclock_now().
  auto since = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::microseconds>(since).count();
}

int64_t RecordingClock::startAt(int64_t nowMicros) {
  int64_t expected = kUnset;
  if (start_.compare_exchange_strong(expected, nowMicros)) return nowMicros;
  return expected;
}
