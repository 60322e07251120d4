#include "platform/dispatch/main_queue.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

MainQueue& MainQueue::shared() {
  // Deliberately leaked: exit() and fail() may run static destructors while a
  // capture thread still posts here.
  static MainQueue* queue = new MainQueue();
  return *queue;
}

MainQueue::MainQueue() { wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

void MainQueue::wake() {
  uint64_t one = 1;
  // A full counter (never in practice) still leaves the descriptor readable.
  [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

void MainQueue::drainWakeFd() {
  uint64_t count = 0;
  [[maybe_unused]] ssize_t n = ::read(wakeFd_, &count, sizeof count);
}

void MainQueue::async(std::function<void()> block) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    blocks_.push_back(std::move(block));
  }
  wake();
}

void MainQueue::watchReadable(int fd, std::function<void()> onReadable) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    watches_.push_back(Watch{fd, std::move(onReadable)});
  }
  wake();  // a running loop picks up the new descriptor on its next turn
}

void MainQueue::run() {
  std::vector<pollfd> fds;
  std::vector<std::function<void()>> callbacks;
  for (;;) {
    // Run every block queued so far, one at a time, none under the mutex.
    for (;;) {
      std::function<void()> block;
      {
        std::lock_guard<std::mutex> guard(mutex_);
        if (blocks_.empty()) break;
        block = std::move(blocks_.front());
        blocks_.pop_front();
      }
      block();
    }

    // Sleep until a block is queued or a watched descriptor is readable. The
    // wake descriptor is drained before the queue is looked at again, so a
    // block queued after the look always finds it readable.
    fds.clear();
    callbacks.clear();
    fds.push_back(pollfd{wakeFd_, POLLIN, 0});
    {
      std::lock_guard<std::mutex> guard(mutex_);
      for (const Watch& w : watches_) {
        fds.push_back(pollfd{w.fd, POLLIN, 0});
        callbacks.push_back(w.onReadable);
      }
    }
    int ready = ::poll(fds.data(), fds.size(), -1);
    if (ready < 0) continue;  // EINTR: a signal handler ran on this thread
    if (fds[0].revents != 0) drainWakeFd();
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents != 0) callbacks[i - 1]();
    }
  }
}
