#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// A serial queue: blocks submitted with async() run one at a time, in
// submission order, on one worker thread that the queue owns.
class SerialQueue {
 public:
  // `label` names the worker thread (its last 15 bytes, the most a Linux
  // thread name holds), as `top -H`, gdb and sanitizer reports show it.
  explicit SerialQueue(const std::string& label);
  // Runs what is already queued, then joins the worker.
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  // Queues a block; never blocks the caller.
  void async(std::function<void()> block);

 private:
  // What the worker shares with the queue object. The worker holds it too, so
  // that a queue destroyed from inside one of its own blocks (the worker
  // cannot join itself then) leaves the worker something valid to finish on.
  struct State {
    std::mutex mutex;                           // guards blocks and stopping
    std::condition_variable wake;
    std::deque<std::function<void()>> blocks;
    bool stopping = false;
  };
  static void work(const std::shared_ptr<State>& state);

  std::shared_ptr<State> state_;
  std::thread worker_;                            // started last, joined first
};
