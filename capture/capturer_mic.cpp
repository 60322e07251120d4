// The microphone source: choice of device, its source, its buffers.

#include <utility>
#include <variant>

#include "base/console.hpp"
#include "capture/capturer.hpp"

std::optional<CaptureDevice> Capturer::defaultMicDevice(bool announce) {
  CaptureDevices& devices = server_->devices();
  // A built-in microphone first: opening a Bluetooth headset's microphone
  // switches it to its low-quality call profile.
  for (const CaptureDevice& device : devices.discoverDevices()) {
    if (device.transportType == kTransportTypeBuiltIn) {
      if (announce) {
        logErr("default mic → built-in (" + device.localizedName +
               ") to avoid Bluetooth HFP downgrade");
      }
      return device;
    }
  }
  return devices.defaultDevice();
}

void Capturer::configureMic() {
  openFirstMic();
  // From here on a microphone that goes away is replaced, and one that
  // appears when none was there is taken. Queued after every field the
  // following reads was set.
  std::weak_ptr<Capturer> weak = weak_from_this();
  followQueue_.async([weak] {
    if (std::shared_ptr<Capturer> self = weak.lock()) self->watchDevices();
  });
}

void Capturer::openFirstMic() {
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
    micState_ = MicState::absent;
    logErr("[WARN] no microphone device available");
    return;
  }

  if (startMic(device->uniqueID, 0, 0) == MicStart::notOpened) return;
  logErr("mic capture started: " + device->localizedName);
}

Capturer::MicStart Capturer::startMic(const std::string& uniqueID, uint32_t rate, int64_t skip) {
  micState_ = MicState::failed;
  auto opened = server_->openMicrophone(uniqueID, rate);
  if (const std::string* error = std::get_if<std::string>(&opened)) {
    logErr("[WARN] mic input: " + *error);
    return MicStart::notOpened;
  }
  std::shared_ptr<RecordSource> source = std::get<std::shared_ptr<RecordSource>>(opened);
  // Published before it starts, as the system source is: a replacement may
  // come as soon as it runs, and the finish stops whatever it finds.
  std::shared_ptr<RecordSource> previous;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (finished) return MicStart::notOpened;
    previous = std::exchange(micSession, source);
  }
  previous.reset();  // released outside the lock
  micState_ = MicState::recording;
  micDeviceID_ = uniqueID;
  if (std::optional<std::string> error =
          source->start(q, trackBuffers(RecordingMonitor::Source::mic, skip), micStopped(source))) {
    logErr("[WARN] mic stream: " + *error);
    return MicStart::startFailed;
  }
  monitor_.sourceStarted(RecordingMonitor::Source::mic, monitor_.elapsed());
  return MicStart::started;
}

// A microphone the server ends has usually gone away: the device notice that
// follows may come later, so this end is looked at at once.
RecordSource::StoppedHandler Capturer::micStopped(const std::shared_ptr<RecordSource>& source) {
  std::weak_ptr<Capturer> weak = weak_from_this();
  std::weak_ptr<RecordSource> ended = source;
  return [weak, ended](const std::string&) {
    std::shared_ptr<Capturer> self = weak.lock();
    if (!self) return;
    self->followQueue_.async([weak, ended] {
      std::shared_ptr<Capturer> me = weak.lock();
      if (me && me->isCurrent(ended, false)) me->followMic();
    });
  };
}

bool Capturer::isCurrent(const std::weak_ptr<RecordSource>& source, bool system) {
  std::shared_ptr<RecordSource> ended = source.lock();
  std::lock_guard<std::mutex> guard(lock);
  return ended != nullptr && ended == (system ? stream : micSession);
}
