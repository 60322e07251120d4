#pragma once

#include <future>

#include "platform/dispatch/serial_queue.hpp"

// Waits until every block queued on `q` so far has run (never from q itself).
inline void drain(SerialQueue& q) {
  std::promise<void> done;
  q.async([&done] { done.set_value(); });
  done.get_future().wait();
}
