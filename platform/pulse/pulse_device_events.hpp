#pragma once

#include <functional>
#include <memory>

#include "platform/pulse/pulse_connection.hpp"

// The sound server's notices of device changes on a connection: a sink or
// source added or removed, and the server's defaults changed (which sink or
// source is the default). Each notice only wakes a thread of ours, which
// then calls onChange outside the sound server's loop, one call at a time;
// notices that come while a call runs make one more call after it. Changes
// of volume or state (a sink suspended, say) are not device changes.
class PulseDeviceEvents {
 public:
  // Asks the server for the notices; nothing when it does not answer.
  static std::unique_ptr<PulseDeviceEvents> subscribe(std::shared_ptr<PulseConnection> connection,
                                                      std::function<void()> onChange);
  // No call starts after it; one under way finishes (on its own thread when
  // this runs on that thread).
  ~PulseDeviceEvents();
  PulseDeviceEvents(const PulseDeviceEvents&) = delete;
  PulseDeviceEvents& operator=(const PulseDeviceEvents&) = delete;

 private:
  struct Waker;
  PulseDeviceEvents(std::shared_ptr<PulseConnection> connection, std::shared_ptr<Waker> waker);

  const std::shared_ptr<PulseConnection> connection_;
  const std::shared_ptr<Waker> waker_;  // shared with the thread, which may outlive this
};
