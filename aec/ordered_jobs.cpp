#include "aec/ordered_jobs.hpp"

#include <algorithm>
#include <exception>
#include <system_error>

OrderedJobs::OrderedJobs(int threads, size_t inFlight)
    : threads_(std::max(1, threads)), inFlight_(std::max(inFlight, static_cast<size_t>(threads_))) {}

void OrderedJobs::run(size_t count, const std::function<void(size_t, size_t)>& make,
                      const std::function<void(size_t, size_t)>& deliver) {
  if (threads_ <= 1 || count <= 1) {
    for (size_t i = 0; i < count; ++i) {
      make(i, i % inFlight_);
      deliver(i, i % inFlight_);
    }
    return;
  }
  // Guarded by `mutex`: which job a worker takes next, how many were handed
  // over, and which ones are made.
  std::mutex mutex;
  std::condition_variable changed;
  size_t next = 0;
  size_t delivered = 0;
  std::vector<char> done(count, 0);
  const auto work = [&] {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      // A job may start once the one that last held its slot is handed over.
      changed.wait(lock, [&] { return next >= count || next < delivered + inFlight_; });
      if (next >= count) return;
      const size_t i = next++;
      lock.unlock();
      make(i, i % inFlight_);
      lock.lock();
      done[i] = 1;
      changed.notify_all();
    }
  };
  std::vector<std::thread> workers;
  const size_t wanted = std::min(count, static_cast<size_t>(threads_));
  for (size_t w = 0; w < wanted; ++w) {
    try {
      workers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer threads than asked for: the ones there do all the jobs
    }
  }
  if (workers.empty()) {
    OrderedJobs(1, inFlight_).run(count, make, deliver);
    return;
  }
  // A hand-over that throws (no memory for the result's way on) stops the
  // jobs not yet started; the workers are joined before it goes on.
  std::exception_ptr failure;
  for (size_t i = 0; i < count && !failure; ++i) {
    {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [&] { return done[i] != 0; });
    }
    try {
      deliver(i, i % inFlight_);
    } catch (...) {
      failure = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      delivered = i + 1;
      if (failure) next = count;
    }
    changed.notify_all();
  }
  for (std::thread& t : workers) t.join();
  if (failure) std::rethrow_exception(failure);
}
