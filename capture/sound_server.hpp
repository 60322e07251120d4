#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "capture/capture_devices.hpp"
#include "capture/record_source.hpp"

// A sink of the sound server, as the system source names it: `name` is its
// id (as the output-device list gives it), `description` what a person reads.
struct SinkIdentity {
  std::string name;
  std::string description;
};

// What a recording opens on the sound server: the system source (the monitor
// of a sink), the microphone source, the capture-device list from which the
// microphone is chosen, and the notices of device changes that a recording
// follows. Opening does not start a source. Every call here may wait for the
// server (bounded) and is made neither from a source's handlers nor from a
// change notice's own thread.
class SoundServer {
 public:
  // The system source, or why there is none: `error` when the server cannot
  // be asked (its description), neither when it has no such sink. With a
  // source, `sink` is the sink whose monitor it records.
  struct SystemOpening {
    std::shared_ptr<RecordSource> source;
    std::optional<std::string> error;
    SinkIdentity sink;
  };

  virtual ~SoundServer() = default;

  // Opens the monitor of the sink named `sinkName`, or of the default sink
  // when the name is empty.
  virtual SystemOpening openSystem(const std::string& sinkName) = 0;

  // The server's default sink now; nothing when there is none or the server
  // cannot be asked.
  virtual std::optional<SinkIdentity> defaultSink() = 0;

  // Opens the microphone source of that name, recorded at `rate` Hz (0: the
  // source's own rate), or gives the error's description.
  virtual std::variant<std::shared_ptr<RecordSource>, std::string> openMicrophone(
      const std::string& sourceName, uint32_t rate = 0) = 0;

  virtual CaptureDevices& devices() = 0;

  // From now on, `onChange` runs after the server's sinks, sources or
  // defaults changed (one added or removed, another default chosen), on a
  // thread of the server's own, one call at a time; changes close together
  // may come as one call. Once per server; without a server nothing comes.
  virtual void watchDevices(std::function<void()> onChange) = 0;
};
