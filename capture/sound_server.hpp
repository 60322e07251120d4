#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "capture/capture_devices.hpp"
#include "capture/record_source.hpp"

// What a recording opens on the sound server: the system source, the
// microphone source, and the capture-device list from which the microphone
// is chosen. Opening does not start a source.
class SoundServer {
 public:
  // The system source, or why there is none: `error` when the server cannot
  // be asked (its description), neither when it has no default sink.
  struct SystemOpening {
    std::shared_ptr<RecordSource> source;
    std::optional<std::string> error;
  };

  virtual ~SoundServer() = default;

  // Opens the monitor of the default sink. The completion runs once, later,
  // on a thread of its own.
  virtual void openSystem(std::function<void(SystemOpening)> completion) = 0;

  // Opens the microphone source of that name, or gives the error's
  // description.
  virtual std::variant<std::shared_ptr<RecordSource>, std::string> openMicrophone(
      const std::string& sourceName) = 0;

  virtual CaptureDevices& devices() = 0;
};
