#include "platform/dispatch/serial_queue.hpp"

#include <pthread.h>

#include <utility>

SerialQueue::SerialQueue(const std::string& label) : state_(std::make_shared<State>()) {
  worker_ = std::thread([state = state_] { work(state); });
  // Labels are reverse-DNS ("com.narup.capture.samples"): the tail is the
  // part that tells the queues apart.
  const std::string name = label.size() > 15 ? label.substr(label.size() - 15) : label;
  ::pthread_setname_np(worker_.native_handle(), name.c_str());
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
