#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "capture/sample_buffer.hpp"

class SerialQueue;

// What the live sources and the input-device list rely on from the platform:
// a system-audio stream (what the computer plays), microphone permission,
// choice and capture, and the capture-device list. One implementation talks
// to the sound server; the tests put a scripted one behind the same classes.

// A completion that receives an error description, or nothing on success.
using ErrorCompletion = std::function<void(std::optional<std::string> error)>;

// ---- System audio ----------------------------------------------------------

// Output types of a system stream; only audio buffers are recorded.
enum class StreamOutputType { screen = 0, audio = 1 };

// Receives what a system-audio stream delivers.
class SystemStreamDelegate {
 public:
  virtual ~SystemStreamDelegate() = default;
  // One call per buffer, on the queue given to addStreamOutput, in order.
  virtual void streamDidOutput(const SampleBuffer& buffer, StreamOutputType type) = 0;
  // The stream ended on its own (server gone, device removed); runs once,
  // on a platform thread.
  virtual void streamDidStop(const std::string& errorDescription) = 0;
};

// Something whose sound can be captured; on a sound server, the default sink.
struct Display {
  std::string id;
};

struct ShareableContent {
  std::vector<Display> displays;  // in the platform's order; may be empty
};

// The fixed settings of the system stream.
struct SystemStreamConfiguration {
  bool capturesAudio = false;
  bool excludesCurrentProcessAudio = false;
  int sampleRate = 0;
  int channelCount = 0;
  int width = 0;
  int height = 0;
  double minimumFrameIntervalSeconds = 0.0;
};

class SystemStream {
 public:
  virtual ~SystemStream() = default;
  // Registers the output for one output type; after the start every buffer of
  // that type arrives on `queue`. Returns the error's description on failure.
  virtual std::optional<std::string> addStreamOutput(std::weak_ptr<SystemStreamDelegate> output,
                                                     StreamOutputType type, SerialQueue& queue) = 0;
  // The completion runs once, on a platform thread, with an error or none.
  virtual void startCapture(ErrorCompletion completion) = 0;
  // The completion runs once, on a platform thread, whatever the outcome.
  virtual void stopCapture(ErrorCompletion completion) = 0;
};

class SystemAudioService {
 public:
  virtual ~SystemAudioService() = default;
  // The completion runs exactly once, later, on a platform thread, with the
  // content or an error (either may be absent).
  virtual void getShareableContent(
      std::function<void(std::optional<ShareableContent>, std::optional<std::string> error)>
          completion) = 0;
  // A stream of the display's audio. If it later stops on its own, the
  // delegate's streamDidStop runs once.
  virtual std::shared_ptr<SystemStream> createStream(const Display& display,
                                                     const SystemStreamConfiguration& configuration,
                                                     std::weak_ptr<SystemStreamDelegate> delegate) = 0;
};

// ---- Capture devices -------------------------------------------------------

// Transport type of a built-in device, the four-character code 'bltn'.
inline constexpr uint32_t kTransportTypeBuiltIn = 0x626C746E;

struct CaptureDevice {
  std::string uniqueID;
  std::string localizedName;
  uint32_t transportType = 0;
};

// The audio capture devices; shared by the input-device list and the
// microphone source.
class CaptureDevices {
 public:
  virtual ~CaptureDevices() = default;
  // Microphones and external devices, in the platform's order.
  virtual std::vector<CaptureDevice> discoverDevices() = 0;
  // Every audio capture device.
  virtual std::vector<CaptureDevice> allDevices() = 0;
  // The system's default audio input, or none.
  virtual std::optional<CaptureDevice> defaultDevice() = 0;
  // The device with that identifier, or none.
  virtual std::optional<CaptureDevice> deviceWithUniqueID(const std::string& uniqueID) = 0;
};

// ---- Microphone ------------------------------------------------------------

// Receives the microphone's buffers.
class MicBufferDelegate {
 public:
  virtual ~MicBufferDelegate() = default;
  // One call per buffer, on the queue given with the output, in order.
  virtual void captureOutput(const SampleBuffer& buffer) = 0;
};

// The input made from one capture device.
class DeviceInput {
 public:
  virtual ~DeviceInput() = default;
};

// An output that hands every buffer to its delegate on its queue.
class AudioDataOutput {
 public:
  virtual ~AudioDataOutput() = default;
};

class CaptureSession {
 public:
  virtual ~CaptureSession() = default;
  virtual bool canAddInput(const DeviceInput& input) = 0;
  virtual void addInput(std::unique_ptr<DeviceInput> input) = 0;
  virtual bool canAddOutput(const AudioDataOutput& output) = 0;
  virtual void addOutput(std::unique_ptr<AudioDataOutput> output) = 0;
  // Returns once the session runs (or has given up trying).
  virtual void startRunning() = 0;
  // Returns once the session has stopped and no buffer of it is still queued
  // for delivery.
  virtual void stopRunning() = 0;
};

// Microphone permission states.
inline constexpr int kAuthorizationNotDetermined = 0;
inline constexpr int kAuthorizationRestricted = 1;
inline constexpr int kAuthorizationDenied = 2;
inline constexpr int kAuthorizationAuthorized = 3;

class MicrophoneService {
 public:
  virtual ~MicrophoneService() = default;
  // At once: one of the kAuthorization* states.
  virtual int authorizationStatus() = 0;
  // The completion runs once, on a platform thread, with the answer.
  virtual void requestAccess(std::function<void(bool granted)> completion) = 0;
  virtual CaptureDevices& devices() = 0;
  // An input for the device, or the error's description.
  virtual std::variant<std::unique_ptr<DeviceInput>, std::string> createDeviceInput(
      const CaptureDevice& device) = 0;
  virtual std::unique_ptr<CaptureSession> createSession() = 0;
  // An output whose buffers go to the delegate on `queue`.
  virtual std::unique_ptr<AudioDataOutput> createAudioDataOutput(
      std::weak_ptr<MicBufferDelegate> delegate, SerialQueue& queue) = 0;
};

// Everything a recording takes from the platform.
struct MediaServices {
  std::shared_ptr<SystemAudioService> system;
  std::shared_ptr<MicrophoneService> microphone;
};
