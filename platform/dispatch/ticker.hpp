#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// Calls a function on a thread of its own every `period` until it is
// stopped or destroyed. The function never runs after stop() returned.
class Ticker {
 public:
  Ticker(std::chrono::milliseconds period, std::function<void()> tick);
  ~Ticker();
  Ticker(const Ticker&) = delete;
  Ticker& operator=(const Ticker&) = delete;

  // Waits for a tick under way, then ends the thread. Idempotent.
  void stop();

 private:
  void run();

  const std::chrono::milliseconds period_;
  const std::function<void()> tick_;
  std::mutex mutex_;              // guards stopping_
  std::condition_variable wake_;
  bool stopping_ = false;         // guarded by mutex_
  std::thread thread_;            // started last, joined by stop()
};
