#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <vector>

// The main queue: blocks submitted from any thread run one at a time, in
// submission order, on the thread that runs the loop (the main thread). The
// loop also watches file descriptors and turns their readiness into calls on
// the same thread, which is how the stop signals reach it.
class MainQueue {
 public:
  // The one main queue of the process. It is never destroyed, so that no exit
  // path runs its destructor while other threads may still submit to it.
  static MainQueue& shared();

  MainQueue(const MainQueue&) = delete;
  MainQueue& operator=(const MainQueue&) = delete;

  // Queues a block for the loop; never blocks the caller.
  void async(std::function<void()> block);

  // Calls onReadable on the loop's thread whenever fd can be read (the
  // callback must consume what it was woken for). The descriptor stays owned
  // by the caller and watched for the life of the process.
  void watchReadable(int fd, std::function<void()> onReadable);

  // Runs the loop on the calling thread, queued blocks and descriptor
  // callbacks, for the rest of the process: only an exit ends it.
  [[noreturn]] void run();

 private:
  MainQueue();
  ~MainQueue() = default;
  void wake();
  void drainWakeFd();

  struct Watch {
    int fd;
    std::function<void()> onReadable;
  };

  int wakeFd_ = -1;                            // eventfd: blocks or watches added
  std::mutex mutex_;                           // guards the fields below
  std::deque<std::function<void()>> blocks_;
  std::vector<Watch> watches_;
};
