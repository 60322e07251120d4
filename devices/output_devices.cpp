#include "devices/output_devices.hpp"

std::vector<AudioDeviceID> coreAudioAllDeviceIDs(AudioHardware& hardware) {
  return hardware.allDeviceIDs();
}

std::string coreAudioDefaultOutputUID(AudioHardware& hardware) {
  std::optional<AudioDeviceID> device = hardware.defaultOutputDevice();
  if (!device) return {};
  return hardware.deviceUID(*device).value_or(std::string());
}

bool hasOutputStreams(AudioHardware& hardware, AudioDeviceID device) {
  std::optional<uint32_t> size = hardware.outputStreamsDataSize(device);
  return size.has_value() && *size != 0;
}
