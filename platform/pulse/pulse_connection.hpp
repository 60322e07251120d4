#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// libpulse's own types, declared opaquely so that no header of ours includes
// <pulse/...>. They are the very structs libpulse defines.
struct pa_context;
struct pa_threaded_mainloop;
struct pa_operation;

// One connection to the PulseAudio-protocol sound server (PulseAudio itself,
// or PipeWire through pipewire-pulse), shared by every libpulse user of the
// tool: the device lists, the output selection and the capture sources.
//
// Contract:
// - connect() never spawns a server (PA_CONTEXT_NOAUTOSPAWN) and gives up
//   after its timeout: a missing server costs at most that long and prints
//   nothing. On failure it returns nothing and, when asked, the reason as
//   libpulse words it (pa_strerror of the context's error), or "timeout".
// - The connection owns a pa_threaded_mainloop and its pa_context, already
//   running and in the ready state when connect() returns. Every libpulse
//   call on context() (or on streams and operations made from it) must be
//   made with the loop locked: hold a Lock, or be inside a libpulse callback
//   (those run on the loop's thread with the lock already held).
// - Callbacks run on the loop's thread. A callback that a waiter depends on
//   calls signal() once it has stored its result; waitUntil() and
//   waitForOperation() then look at the result again.
// - Every wait is bounded by a deadline (steady clock) and also ends when the
//   context fails (server gone), so no caller can hang on the server.
// - The destructor disconnects and stops the loop. It must run on a thread
//   other than the loop's own (never from inside a libpulse callback); any
//   stream made from the context must be disconnected and released first.
// - The loop's thread is created by connect() and inherits the signal mask
//   of the thread that calls it.
class PulseConnection {
 public:
  using Clock = std::chrono::steady_clock;

  // Holds the loop's lock for its scope. Recursive: harmless inside a callback.
  class Lock {
   public:
    explicit Lock(const PulseConnection& connection);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
  };

  // Connects as client `clientName`; nothing after `timeout` (connect + ready).
  static std::unique_ptr<PulseConnection> connect(const std::string& clientName,
                                                  std::chrono::milliseconds timeout,
                                                  std::string* error = nullptr);
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  pa_context* context() const { return context_; }

  // Wakes every waiter; call from a callback after storing its result.
  void signal() const;

  // With the lock held: waits until done() is true, the deadline passes or
  // the context leaves the ready state. Returns done()'s last value.
  bool waitUntil(const std::function<bool()>& done, Clock::time_point deadline) const;

  // With the lock held: waits until `op` has run (its callback has been
  // called), then releases it. On timeout or a failed context the operation
  // is cancelled and released, and false comes back. A null `op` (the call
  // that should have made it failed) gives false at once.
  bool waitForOperation(pa_operation* op, Clock::time_point deadline) const;

  // Whether the context is still ready (the server has not gone away).
  bool isReady() const;

  // The context's last error as libpulse words it (pa_strerror).
  std::string lastError() const;
  // The context's last error code (pa_context_errno), a PA_ERR_* value.
  int lastErrorCode() const;

 private:
  PulseConnection() = default;

  pa_threaded_mainloop* loop_ = nullptr;  // owned; freed last
  pa_context* context_ = nullptr;         // owned; used under the loop's lock
};
