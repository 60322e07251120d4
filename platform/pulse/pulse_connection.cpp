#include "platform/pulse/pulse_connection.hpp"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/operation.h>
#include <pulse/rtclock.h>
#include <pulse/thread-mainloop.h>

#include <algorithm>
#include <cstdint>

namespace {

void wakeLoop(pa_threaded_mainloop* loop) { pa_threaded_mainloop_signal(loop, 0); }

void onContextState(pa_context*, void* loop) {
  wakeLoop(static_cast<pa_threaded_mainloop*>(loop));
}

void onOperationState(pa_operation*, void* loop) {
  wakeLoop(static_cast<pa_threaded_mainloop*>(loop));
}

void onDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* loop) {
  wakeLoop(static_cast<pa_threaded_mainloop*>(loop));
}

// With the loop locked: waits until done(), the deadline, or until alive()
// turns false. pa_threaded_mainloop_wait has no timeout of its own, so a
// time event on the loop wakes us at the deadline.
bool boundedWait(pa_threaded_mainloop* loop, pa_context* context,
                 const std::function<bool()>& done, const std::function<bool()>& alive,
                 PulseConnection::Clock::time_point deadline) {
  if (done()) return true;
  auto left = deadline - PulseConnection::Clock::now();
  if (left <= PulseConnection::Clock::duration::zero() || !alive()) return done();
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
  pa_time_event* timer =
      pa_context_rttime_new(context, pa_rtclock_now() + static_cast<pa_usec_t>(micros) + 1000,
                            onDeadline, loop);
  while (!done() && alive() && PulseConnection::Clock::now() < deadline) {
    pa_threaded_mainloop_wait(loop);
  }
  if (timer != nullptr) {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
    api->time_free(timer);
  }
  return done();
}

}  // namespace

PulseConnection::Lock::Lock(const PulseConnection& connection) : loop_(connection.loop_) {
  pa_threaded_mainloop_lock(loop_);
}

PulseConnection::Lock::~Lock() { pa_threaded_mainloop_unlock(loop_); }

std::unique_ptr<PulseConnection> PulseConnection::connect(const std::string& clientName,
                                                          std::chrono::milliseconds timeout,
                                                          std::string* error) {
  auto deadline = Clock::now() + timeout;
  std::unique_ptr<PulseConnection> c(new PulseConnection());
  auto setError = [error](std::string text) {
    if (error != nullptr) *error = std::move(text);
  };

  c->loop_ = pa_threaded_mainloop_new();
  if (c->loop_ == nullptr) {
    setError("cannot create the sound server main loop");
    return nullptr;
  }
  c->context_ = pa_context_new(pa_threaded_mainloop_get_api(c->loop_), clientName.c_str());
  if (c->context_ == nullptr) {
    setError("cannot create the sound server context");
    return nullptr;
  }
  pa_context_set_state_callback(c->context_, onContextState, c->loop_);
  if (pa_threaded_mainloop_start(c->loop_) < 0) {
    setError("cannot start the sound server main loop");
    return nullptr;
  }

  Lock lock(*c);
  // NOAUTOSPAWN: a tool that lists devices or records must never bring up a
  // sound server of its own when none runs.
  if (pa_context_connect(c->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    setError(c->lastError());
    return nullptr;
  }
  pa_context* ctx = c->context_;
  bool ready = boundedWait(
      c->loop_, ctx, [ctx] { return pa_context_get_state(ctx) == PA_CONTEXT_READY; },
      [ctx] { return PA_CONTEXT_IS_GOOD(pa_context_get_state(ctx)) != 0; }, deadline);
  if (!ready) {
    setError(PA_CONTEXT_IS_GOOD(pa_context_get_state(ctx)) ? std::string("timeout")
                                                           : c->lastError());
    return nullptr;  // the lock is released before the destructor runs
  }
  return c;
}

PulseConnection::~PulseConnection() {
  if (loop_ == nullptr) return;
  if (context_ != nullptr) {
    pa_threaded_mainloop_lock(loop_);
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_threaded_mainloop_unlock(loop_);
  }
  // Stopping joins the loop's thread (a no-op when it never started); only
  // then may the context go.
  pa_threaded_mainloop_stop(loop_);
  if (context_ != nullptr) pa_context_unref(context_);
  pa_threaded_mainloop_free(loop_);
}

void PulseConnection::signal() const { wakeLoop(loop_); }

bool PulseConnection::waitUntil(const std::function<bool()>& done,
                                Clock::time_point deadline) const {
  return boundedWait(loop_, context_, done, [this] { return isReady(); }, deadline);
}

bool PulseConnection::waitForOperation(pa_operation* op, Clock::time_point deadline) const {
  if (op == nullptr) return false;
  pa_operation_set_state_callback(op, onOperationState, loop_);
  bool finished = waitUntil(
      [op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; }, deadline);
  if (!finished) pa_operation_cancel(op);
  bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
  pa_operation_set_state_callback(op, nullptr, nullptr);
  pa_operation_unref(op);
  return done;
}

bool PulseConnection::isReady() const {
  return pa_context_get_state(context_) == PA_CONTEXT_READY;
}

std::string PulseConnection::lastError() const {
  return pa_strerror(pa_context_errno(context_));
}

int PulseConnection::lastErrorCode() const { return pa_context_errno(context_); }
