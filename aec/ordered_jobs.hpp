#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// Runs jobs 0 ... count - 1 on worker threads and hands their results over
// strictly in order on the calling thread. At most `inFlight` jobs are made
// or waiting to be handed over at any time, so whatever a job keeps for its
// result stays bounded: slot i % inFlight belongs to job i from the moment
// it starts until its hand-over returns. With one thread every job is made
// and handed over on the calling thread, one after the other: the same calls
// in the same order, so results never depend on the thread count.
class OrderedJobs {
 public:
  // `threads` workers (at least 1), `inFlight` at least `threads`.
  OrderedJobs(int threads, size_t inFlight);

  size_t slots() const { return inFlight_; }

  // make(i, slot) fills the slot; deliver(i, slot) takes the result over,
  // in order of i. make is called from worker threads, concurrently for
  // different jobs.
  void run(size_t count, const std::function<void(size_t job, size_t slot)>& make,
           const std::function<void(size_t job, size_t slot)>& deliver);

 private:
  int threads_;
  size_t inFlight_;
};
