#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// A serial queue: blocks submitted with async() run one at a time, in
// submission order, on one worker thread that the queue owns.
class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  // Runs what is already queued, then joins the worker.
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  // Queues a block; never blocks the caller.
  void async(std::function<void()> block);
  // Queues a block and waits until it has run (never call from the queue itself).
  void sync(const std::function<void()>& block);

  const std::string& label() const { return label_; }

 private:
  void work();

  std::string label_;
  std::mutex mutex_;                              // guards blocks_ and stopping_
  std::condition_variable wake_;
  std::deque<std::function<void()>> blocks_;
  bool stopping_ = false;
  std::thread worker_;                            // started last, joined first
};
