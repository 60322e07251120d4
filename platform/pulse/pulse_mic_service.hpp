#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <variant>

#include "capture/media_services.hpp"
#include "platform/pulse/pulse_clock.hpp"
#include "platform/pulse/pulse_record_link.hpp"
#include "platform/pulse/pulse_record_stream.hpp"

class SerialQueue;

// The microphone on the sound server: a record stream on a source that is not
// a monitor, in the source's own sample format, rate and channels (only the
// byte order is made native). A sound server asks no permission, so access
// is always authorised.
class PulseMicrophoneService final : public MicrophoneService {
 public:
  PulseMicrophoneService(std::shared_ptr<PulseRecordLink> link,
                         std::shared_ptr<RecordingClock> clock);

  int authorizationStatus() override { return kAuthorizationAuthorized; }
  void requestAccess(std::function<void(bool granted)> completion) override;
  // Made on first use, on the shared connection.
  CaptureDevices& devices() override;
  std::variant<std::unique_ptr<DeviceInput>, std::string> createDeviceInput(
      const CaptureDevice& device) override;
  std::unique_ptr<CaptureSession> createSession() override;
  std::unique_ptr<AudioDataOutput> createAudioDataOutput(std::weak_ptr<MicBufferDelegate> delegate,
                                                         SerialQueue& queue) override;

 private:
  std::shared_ptr<PulseRecordLink> link_;
  std::shared_ptr<RecordingClock> clock_;
  std::mutex devicesMutex_;                  // guards devices_
  std::unique_ptr<CaptureDevices> devices_;
};

// One source of the server, ready to be recorded.
class PulseMicInput final : public DeviceInput {
 public:
  PulseMicInput(std::shared_ptr<PulseConnection> connection, RecordTarget target)
      : connection(std::move(connection)), target(std::move(target)) {}
  const std::shared_ptr<PulseConnection> connection;
  const RecordTarget target;
};

// Where the microphone's buffers go.
class PulseMicOutput final : public AudioDataOutput {
 public:
  PulseMicOutput(std::weak_ptr<MicBufferDelegate> delegate, SerialQueue& queue)
      : delegate(std::move(delegate)), queue(queue) {}
  const std::weak_ptr<MicBufferDelegate> delegate;
  SerialQueue& queue;
};

// One input and one output; running means one record stream from the one to
// the other.
class PulseMicSession final : public CaptureSession {
 public:
  // Longest wait in stopRunning() for the queue to deliver the last buffers.
  static constexpr std::chrono::milliseconds kDrainTimeout{3000};

  explicit PulseMicSession(std::shared_ptr<RecordingClock> clock);
  ~PulseMicSession() override;

  bool canAddInput(const DeviceInput& input) override;
  void addInput(std::unique_ptr<DeviceInput> input) override;
  bool canAddOutput(const AudioDataOutput& output) override;
  void addOutput(std::unique_ptr<AudioDataOutput> output) override;
  // A stream that cannot start leaves a warning line and no microphone.
  void startRunning() override;
  // Queues the last buffers and a fill up to now, and returns once the queue
  // has delivered them (bounded: never from the queue itself).
  void stopRunning() override;

 private:
  std::shared_ptr<RecordingClock> clock_;
  std::mutex mutex_;                         // guards everything below
  std::unique_ptr<PulseMicInput> input_;
  std::unique_ptr<PulseMicOutput> output_;
  std::shared_ptr<PulseRecordStream> record_;
  bool stopped_ = false;
};
