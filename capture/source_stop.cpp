#include "capture/source_stop.hpp"

#include <condition_variable>
#include <memory>
#include <mutex>

bool stopAndWait(RecordSource& source, std::chrono::milliseconds limit) {
  // Shared with the completion, which may run after a wait that ran out.
  struct Done {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;  // guarded by mutex
  };
  auto state = std::make_shared<Done>();
  source.stop([state] {
    std::lock_guard<std::mutex> guard(state->mutex);
    state->done = true;
    state->cv.notify_all();
  });
  std::unique_lock<std::mutex> wait(state->mutex);
  return state->cv.wait_for(wait, limit, [&] { return state->done; });
}
