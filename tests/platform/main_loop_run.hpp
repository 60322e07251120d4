#pragma once

// Runs the main loop on this thread until something stops it, or stops it
// itself after five seconds so that a broken test fails instead of hanging.
// True when the loop was stopped by the test's own blocks.

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/dispatch/main_queue.hpp"

inline bool runMainLoopUntilStopped() {
  std::atomic<bool> done{false};
  std::atomic<bool> fired{false};
  std::thread dog([&] {
    for (int i = 0; i < 500 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!done) {
      fired = true;
      MainQueue::shared().stop();
    }
  });
  MainQueue::shared().run();
  done = true;
  dog.join();
  return !fired;
}
