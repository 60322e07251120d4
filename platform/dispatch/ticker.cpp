#include "platform/dispatch/ticker.hpp"

#include <utility>

Ticker::Ticker(std::chrono::milliseconds period, std::function<void()> tick)
    : period_(period), tick_(std::move(tick)), thread_([this] { run(); }) {}

Ticker::~Ticker() { stop(); }

void Ticker::stop() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void Ticker::run() {
  std::unique_lock<std::mutex> guard(mutex_);
  while (!wake_.wait_for(guard, period_, [this] { return stopping_; })) {
    // Unlocked while ticking, so that stop() can be asked meanwhile; it then
    // waits in join() for this tick to end.
    guard.unlock();
    tick_();
    guard.lock();
  }
}
