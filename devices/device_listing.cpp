#include "devices/device_listing.hpp"

#include <unistd.h>


#include "base/console.hpp"
#include "devices/device_document.hpp"

namespace {

std::vector<DeviceEntry> entriesOf(const std::vector<CaptureDevice>& devices) {
  std::vector<DeviceEntry> entries;
  entries.reserve(devices.size());
  for (const CaptureDevice& d : devices) entries.push_back({d.uniqueID, d.localizedName});
  return entries;
}

// A name query that fails is asked once more before the device is given up.
std::optional<std::string> nameWithOneRetry(AudioHardware& hardware, AudioDeviceID device) {
  std::optional<std::string> name = hardware.deviceName(device);
  if (!name) name = hardware.deviceName(device);
  return name;
}

// The UID of the default output device; empty on any failure.
std::string defaultOutputUID(AudioHardware& hardware) {
  std::optional<AudioDeviceID> device = hardware.defaultOutputDevice();
  if (!device) return {};
  return hardware.deviceUID(*device).value_or(std::string());
}

// The whole document in as few writes as the pipe allows; a write error
// leaves nothing to report to (standard error stays silent in these modes).
void writeStandardOutput(const std::string& text) {
  writeAll(STDOUT_FILENO, text.data(), text.size());
}

}  // namespace

std::string inputDevicesDocument(CaptureDevices& devices) {
  std::vector<DeviceEntry> entries = entriesOf(devices.discoverDevices());
  if (entries.empty()) entries = entriesOf(devices.allDevices());
  std::optional<CaptureDevice> defaultDevice = devices.defaultDevice();
  return deviceListDocument(entries, defaultDevice ? defaultDevice->uniqueID : std::string());
}

std::string outputDevicesDocument(AudioHardware& hardware) {
  std::vector<DeviceEntry> entries;
  for (AudioDeviceID device : hardware.allDeviceIDs()) {
    if (!hardware.hasOutputStreams(device)) continue;
    std::optional<std::string> uid = hardware.deviceUID(device);
    if (!uid) continue;
    std::optional<std::string> name = nameWithOneRetry(hardware, device);
    if (!name) continue;
    entries.push_back({std::move(*uid), std::move(*name)});
  }
  return deviceListDocument(entries, defaultOutputUID(hardware));
}

int listInputDevices(CaptureDevices& devices) {
  writeStandardOutput(inputDevicesDocument(devices));
  return 0;
}

int listOutputDevices(AudioHardware& hardware) {
  writeStandardOutput(outputDevicesDocument(hardware));
  return 0;
}
