// The microphone source: permission, choice of device, session, buffers.

#include <utility>
#include <variant>

#include "capture/capturer.hpp"
#include "base/console.hpp"

void Capturer::startMic() {
  if (!services_.microphone) {
    logErr("[WARN] no microphone device available");
    return;
  }
  MicrophoneService& microphone = *services_.microphone;
  const int status = microphone.authorizationStatus();
  if (status == kAuthorizationAuthorized) {
    configureMic();
  } else if (status == kAuthorizationNotDetermined) {
    std::weak_ptr<Capturer> weak = weak_from_this();
    microphone.requestAccess([weak](bool granted) {
      if (!granted) {
        logErr("[WARN] microphone permission denied");
        return;
      }
      if (std::shared_ptr<Capturer> self = weak.lock()) self->configureMic();
    });
  } else {
    logErr("[WARN] microphone access not authorized (status " + std::to_string(status) + ")");
  }
}

std::optional<CaptureDevice> Capturer::defaultMicDevice() {
  CaptureDevices& devices = services_.microphone->devices();
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
  MicrophoneService& microphone = *services_.microphone;

  std::optional<CaptureDevice> device;
  if (micDeviceUID && !micDeviceUID->empty()) {
    device = microphone.devices().deviceWithUniqueID(*micDeviceUID);
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

  std::unique_ptr<CaptureSession> session = microphone.createSession();
  auto made = microphone.createDeviceInput(*device);
  if (std::string* error = std::get_if<std::string>(&made)) {
    logErr("[WARN] mic input: " + *error);
    return;
  }
  std::unique_ptr<DeviceInput> input = std::move(std::get<std::unique_ptr<DeviceInput>>(made));
  if (!session || !input || !session->canAddInput(*input)) {
    logErr("[WARN] cannot add mic input");
    return;
  }
  session->addInput(std::move(input));

  std::unique_ptr<AudioDataOutput> output =
      microphone.createAudioDataOutput(std::weak_ptr<MicBufferDelegate>(shared_from_this()), q);
  if (!output || !session->canAddOutput(*output)) {
    logErr("[WARN] cannot add mic output");
    return;
  }
  session->addOutput(std::move(output));

  session->startRunning();  // returns once the session runs

  std::shared_ptr<CaptureSession> previous;
  {
    std::lock_guard<std::mutex> guard(lock);
    previous = std::exchange(micSession, std::shared_ptr<CaptureSession>(std::move(session)));
  }
  previous.reset();  // released outside the lock
  logErr("mic capture started: " + device->localizedName);
}

void Capturer::captureOutput(const SampleBuffer& buffer) {
  appendBuffer(buffer, "mic", loggedMic, micRate, micSamples);
}
