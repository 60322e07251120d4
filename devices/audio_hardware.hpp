#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// An audio device of the output side, as the hardware enumerates it.
using AudioDeviceID = uint32_t;

// What the output-device list and the default-output selection rely on from
// the audio hardware. Every query may fail; a failure is an empty result,
// never an exception. One implementation talks to the sound server; the
// tests put a scripted one behind the same class.
class AudioHardware {
 public:
  virtual ~AudioHardware() = default;
  // Every audio device, in the platform's order; empty when the list cannot
  // be read.
  virtual std::vector<AudioDeviceID> allDeviceIDs() = 0;
  // Whether the device plays sound (has an output stream); false when the
  // query fails.
  virtual bool hasOutputStreams(AudioDeviceID device) = 0;
  // The device's UID, or nothing when the query fails.
  virtual std::optional<std::string> deviceUID(AudioDeviceID device) = 0;
  // The device's name, or nothing when the query fails.
  virtual std::optional<std::string> deviceName(AudioDeviceID device) = 0;
  // The current default output device, or nothing when it cannot be read.
  virtual std::optional<AudioDeviceID> defaultOutputDevice() = 0;
  // Makes the device the default output; 0 on success, else the platform's
  // status.
  virtual int32_t setDefaultOutputDevice(AudioDeviceID device) = 0;
};
