#include "devices/output_selection.hpp"

#include "base/console.hpp"

namespace {

// The first device with output streams whose UID is exactly `uid`: letter
// case matters and nothing is trimmed. UIDs are compared byte for byte, which
// is canonical equivalence for the plain ASCII names sound servers give their
// sinks (PulseAudio allows only letters, digits, '.', '_' and '-').
std::optional<AudioDeviceID> findOutputDevice(AudioHardware& hardware, const std::string& uid) {
  for (AudioDeviceID device : hardware.allDeviceIDs()) {
    if (!hardware.hasOutputStreams(device)) continue;
    std::optional<std::string> candidate = hardware.deviceUID(device);
    if (candidate && *candidate == uid) return device;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> selectOutputDevice(AudioHardware& hardware, const std::string& uid) {
  std::optional<AudioDeviceID> device = findOutputDevice(hardware, uid);
  if (!device) return "output device '" + uid + "' not found";
  int32_t status = hardware.setDefaultOutputDevice(*device);
  if (status != 0) {
    return "could not set default output device (status " + std::to_string(status) + ")";
  }
  return std::nullopt;
}

int setOutputDevice(AudioHardware& hardware, const std::string& uid) {
  std::optional<std::string> failure = selectOutputDevice(hardware, uid);
  if (!failure) return 0;
  logFail(*failure);
  return 1;
}
