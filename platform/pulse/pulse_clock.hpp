#pragma once

#include <atomic>
#include <cstdint>

// The one start instant of a recording, shared by its two sources, on the
// monotonic clock. The first source to start sets it; every source then
// places its samples relative to it, so both tracks share one time axis.
class RecordingClock {
 public:
  // Microseconds on the monotonic clock (the clock libpulse's timers use).
  static int64_t nowMicros();

  // Sets the start instant to `nowMicros` unless it is already set; returns
  // the start instant in force. Safe from any thread.
  int64_t startAt(int64_t nowMicros);

 private:
  static constexpr int64_t kUnset = -1;
  std::atomic<int64_t> start_{kUnset};
};
