#include "platform/dispatch/serial_queue.hpp"

#include <utility>

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), state_(std::make_shared<State>()) {
  worker_ = std::thread([state = state_] { work(state); });
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_one();
  // The last owner may let go of the queue from inside one of its own blocks
  // (a callback that held its object only weakly); a thread cannot join
  // itself, so the worker then finishes the remaining blocks on its own.
  if (worker_.get_id() == std::this_thread::get_id()) {
    worker_.detach();
  } else {
    worker_.join();
  }
}

void SerialQueue::async(std::function<void()> block) {
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->blocks.push_back(std::move(block));
  }
  state_->wake.notify_one();
}

void SerialQueue::sync(const std::function<void()>& block) {
  std::mutex doneMutex;
  std::condition_variable doneCv;
  bool done = false;
  async([&] {
    block();
    // Notify under the mutex: the waiter's frame (and doneCv with it) may end
    // as soon as it sees `done`.
    std::lock_guard<std::mutex> guard(doneMutex);
    done = true;
    doneCv.notify_one();
  });
  std::unique_lock<std::mutex> lock(doneMutex);
  doneCv.wait(lock, [&] { return done; });
}

void SerialQueue::work(const std::shared_ptr<State>& state) {
  std::unique_lock<std::mutex> lock(state->mutex);
  for (;;) {
    state->wake.wait(lock, [&] { return state->stopping || !state->blocks.empty(); });
    if (state->blocks.empty()) return;  // stopping, and nothing left to run
    std::function<void()> block = std::move(state->blocks.front());
    state->blocks.pop_front();
    lock.unlock();
    block();
    block = nullptr;  // release what the block captured before taking the next
    lock.lock();
  }
}
