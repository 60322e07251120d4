// The microphone source: choice of device, its source, its buffers.

#include <utility>
#include <variant>

#include "base/console.hpp"
#include "capture/capturer.hpp"

std::optional<CaptureDevice> Capturer::defaultMicDevice() {
  CaptureDevices& devices = server_->devices();
  // A built-in microphone first: opening a Bluetooth headset's microphone
  // switches it to its low-quality call profile.
  for (const CaptureDevice& device : devices.discoverDevices()) {
    if (device.transportType == kTransportTypeBuiltIn) {
      logErr("default mic → built-in (" + device.localizedName +
             ") to avoid Bluetooth HFP downgrade");
      return device;
    }
  }
  return devices.defaultDevice();
}

void Capturer::configureMic() {
  std::optional<CaptureDevice> device;
  if (micDeviceUID && !micDeviceUID->empty()) {
    device = server_->devices().deviceWithUniqueID(*micDeviceUID);
    const bool found = device.has_value();
    if (!found) device = defaultMicDevice();
    if (!found) logErr("[WARN] mic device '" + *micDeviceUID + "' not found; using default");
  } else {
    device = defaultMicDevice();
  }
  if (!device) {
    logErr("[WARN] no microphone device available");
    return;
  }

  auto opened = server_->openMicrophone(device->uniqueID);
  if (const std::string* error = std::get_if<std::string>(&opened)) {
    logErr("[WARN] mic input: " + *error);
    return;
  }
  std::shared_ptr<RecordSource> source = std::get<std::shared_ptr<RecordSource>>(opened);

  std::weak_ptr<Capturer> weak = weak_from_this();
  // Nothing reacts to a microphone that goes away while recording: its track
  // simply ends there, and the stop fills it up to the stop.
  if (std::optional<std::string> error = source->start(
          q,
          [weak](const SampleBuffer& buffer) {
            if (std::shared_ptr<Capturer> self = weak.lock()) {
              self->takeBuffer(buffer, "mic", self->loggedMic, self->micRate, *self->micSamples,
                             RecordingMonitor::Source::mic);
            }
          },
          nullptr)) {
    logErr("[WARN] mic stream: " + *error);
  } else {
    monitor_.sourceStarted(RecordingMonitor::Source::mic, monitor_.elapsed());
  }

  std::shared_ptr<RecordSource> previous;
  {
    std::lock_guard<std::mutex> guard(lock);
    previous = std::exchange(micSession, std::move(source));
  }
  previous.reset();  // released outside the lock
  logErr("mic capture started: " + device->localizedName);
}
