#pragma once

#include <functional>
#include <optional>
#include <string>

#include "capture/sample_buffer.hpp"

class SerialQueue;

// One source of the sound server being recorded: the monitor of the default
// sink (what the computer plays) or a microphone.
class RecordSource {
 public:
  using BufferHandler = std::function<void(const SampleBuffer&)>;
  using StoppedHandler = std::function<void(const std::string& reason)>;

  virtual ~RecordSource() = default;

  // Starts recording. Every buffer then goes to onBuffer on `queue`, one at a
  // time, in order. If the server ends the source on its own (server gone,
  // device removed), onStopped (when given) runs once, on a thread of its
  // own. Returns the error's description when the source cannot start.
  virtual std::optional<std::string> start(SerialQueue& queue, BufferHandler onBuffer,
                                           StoppedHandler onStopped) = 0;

  // Stops recording. The completion runs once, on a thread of its own (never
  // the queue's), after the last buffer of the source was delivered, whatever
  // the outcome; also when the source never started.
  virtual void stop(std::function<void()> completion) = 0;
};
