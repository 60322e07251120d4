#pragma once

// A scripted stand-in for the media services: every step can be told to fail,
// completions run on threads of their own (as a platform's would), and
// buffers are delivered on the queue the capturer hands over, in order.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "capture/media_services.hpp"
#include "capture/sample_buffer.hpp"
#include "platform/dispatch/serial_queue.hpp"
#include "support/queue_drain.hpp"

namespace scripted {

// Time spent inside the capturer's sample callbacks on its queue, over all
// deliveries of the process (what a benchmark charges to the capture queue).
inline std::atomic<int64_t> callbackNanos{0};

template <typename Call>
void timedCallback(Call&& call) {
  auto begin = std::chrono::steady_clock::now();
  call();
  callbackNanos.fetch_add(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - begin)
          .count(),
      std::memory_order_relaxed);
}

// What the services were asked, in order, from every thread.
class CallLog {
 public:
  void add(std::string call) {
    std::lock_guard<std::mutex> guard(mutex_);
    calls_.push_back(std::move(call));
  }
  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return calls_;
  }
  // Index of the first such call, or -1.
  int indexOf(const std::string& call) const {
    std::vector<std::string> all = calls();
    auto at = std::find(all.begin(), all.end(), call);
    return at == all.end() ? -1 : static_cast<int>(at - all.begin());
  }
  bool has(const std::string& call) const { return indexOf(call) >= 0; }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
};

// "Platform threads": each completion runs on a new thread; all are joined by
// join() or at destruction.
class PlatformThreads {
 public:
  ~PlatformThreads() { join(); }
  void run(std::function<void()> work) {
    std::lock_guard<std::mutex> guard(mutex_);
    threads_.emplace_back(std::move(work));
  }
  void join() {
    for (;;) {
      std::vector<std::thread> taken;
      {
        std::lock_guard<std::mutex> guard(mutex_);
        if (threads_.empty()) return;
        taken.swap(threads_);
      }
      for (std::thread& t : taken) {
        if (t.get_id() == std::this_thread::get_id()) {
          t.detach();
        } else {
          t.join();
        }
      }
    }
  }

 private:
  std::mutex mutex_;
  std::vector<std::thread> threads_;
};

// ---- System audio --------------------------------------------------------

struct SystemScript {
  std::optional<std::string> contentError;
  bool contentAbsent = false;
  std::vector<Display> displays{Display{"speakers"}};
  std::optional<std::string> addOutputError;
  std::optional<std::string> startError;
  std::optional<std::string> stopError;
  bool holdStop = false;  // the stop's completion waits for releaseStop()
};

class ScriptedStream final : public SystemStream {
 public:
  ScriptedStream(const SystemScript& script, CallLog& log, PlatformThreads& platform,
                 std::weak_ptr<SystemStreamDelegate> delegate)
      : script_(script), log_(log), platform_(platform), delegate_(std::move(delegate)) {}

  std::optional<std::string> addStreamOutput(std::weak_ptr<SystemStreamDelegate> output,
                                             StreamOutputType type, SerialQueue& queue) override {
    log_.add(type == StreamOutputType::audio ? "addStreamOutput(audio)" : "addStreamOutput(screen)");
    if (script_.addOutputError) return script_.addOutputError;
    std::lock_guard<std::mutex> guard(mutex_);
    output_ = std::move(output);
    queue_ = &queue;
    return std::nullopt;
  }
  void startCapture(ErrorCompletion completion) override {
    log_.add("startCapture");
    std::optional<std::string> error = script_.startError;
    platform_.run([completion = std::move(completion), error] { completion(error); });
  }
  void stopCapture(ErrorCompletion completion) override {
    log_.add("stopCapture");
    std::optional<std::string> error = script_.stopError;
    if (script_.holdStop) {
      std::lock_guard<std::mutex> guard(mutex_);
      heldStop_ = std::move(completion);
      return;
    }
    platform_.run([completion = std::move(completion), error] { completion(error); });
  }
  // Runs a held stop completion on a platform thread.
  void releaseStop() {
    ErrorCompletion completion;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      completion = std::move(heldStop_);
    }
    std::optional<std::string> error = script_.stopError;
    if (completion) platform_.run([completion, error] { completion(error); });
  }

  // Hands a buffer to the registered output on its queue; false when no
  // output was registered.
  bool deliver(std::shared_ptr<const SampleBuffer> buffer,
               StreamOutputType type = StreamOutputType::audio) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (queue_ == nullptr) return false;
    queue_->async([output = output_, buffer = std::move(buffer), type] {
      if (std::shared_ptr<SystemStreamDelegate> o = output.lock()) {
        timedCallback([&] { o->streamDidOutput(*buffer, type); });
      }
    });
    return true;
  }
  // Waits until everything delivered so far has been handled.
  void flush() {
    SerialQueue* queue;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      queue = queue_;
    }
    if (queue) drain(*queue);
  }
  // The stream ends on its own, as when the server goes away.
  void stopOnItsOwn(std::string error) {
    std::weak_ptr<SystemStreamDelegate> delegate = delegate_;
    platform_.run([delegate, error] {
      if (std::shared_ptr<SystemStreamDelegate> d = delegate.lock()) d->streamDidStop(error);
    });
  }

 private:
  const SystemScript& script_;
  CallLog& log_;
  PlatformThreads& platform_;
  std::weak_ptr<SystemStreamDelegate> delegate_;
  std::mutex mutex_;
  std::weak_ptr<SystemStreamDelegate> output_;
  SerialQueue* queue_ = nullptr;
  ErrorCompletion heldStop_;
};

class ScriptedSystemAudio final : public SystemAudioService {
 public:
  ScriptedSystemAudio(CallLog& log, PlatformThreads& platform) : log_(log), platform_(platform) {}

  SystemScript script;

  void getShareableContent(
      std::function<void(std::optional<ShareableContent>, std::optional<std::string>)> completion)
      override {
    log_.add("getShareableContent");
    std::optional<ShareableContent> content;
    if (!script.contentAbsent && !script.contentError) content = ShareableContent{script.displays};
    std::optional<std::string> error = script.contentError;
    platform_.run([completion = std::move(completion), content, error] { completion(content, error); });
  }

  std::shared_ptr<SystemStream> createStream(const Display& display,
                                             const SystemStreamConfiguration& configuration,
                                             std::weak_ptr<SystemStreamDelegate> delegate) override {
    log_.add("createStream(" + display.id + ")");
    auto created = std::make_shared<ScriptedStream>(script, log_, platform_, std::move(delegate));
    std::lock_guard<std::mutex> guard(mutex_);
    configuration_ = configuration;
    stream_ = created;
    return created;
  }

  std::shared_ptr<ScriptedStream> stream() {
    std::lock_guard<std::mutex> guard(mutex_);
    return stream_;
  }
  SystemStreamConfiguration configuration() {
    std::lock_guard<std::mutex> guard(mutex_);
    return configuration_;
  }

 private:
  CallLog& log_;
  PlatformThreads& platform_;
  std::mutex mutex_;
  std::shared_ptr<ScriptedStream> stream_;
  SystemStreamConfiguration configuration_;
};

// ---- Microphone ----------------------------------------------------------

struct MicScript {
  int authorization = kAuthorizationAuthorized;
  // The answer to a permission request; absent: held until answerAccess().
  std::optional<bool> accessAnswer = true;
  std::vector<CaptureDevice> discovered;  // what the discovery lists
  std::vector<CaptureDevice> all;         // looked up by identifier
  std::optional<CaptureDevice> defaultInput;
  std::optional<std::string> inputError;
  bool canAddInput = true;
  bool canAddOutput = true;
};

class ScriptedDevices final : public CaptureDevices {
 public:
  explicit ScriptedDevices(const MicScript& script) : script_(script) {}
  std::vector<CaptureDevice> discoverDevices() override { return script_.discovered; }
  std::vector<CaptureDevice> allDevices() override { return script_.all; }
  std::optional<CaptureDevice> defaultDevice() override { return script_.defaultInput; }
  std::optional<CaptureDevice> deviceWithUniqueID(const std::string& uniqueID) override {
    for (const CaptureDevice& d : script_.all)
      if (d.uniqueID == uniqueID) return d;
    return std::nullopt;
  }

 private:
  const MicScript& script_;
};

struct ScriptedInput final : DeviceInput {
  explicit ScriptedInput(std::string id) : deviceID(std::move(id)) {}
  std::string deviceID;
};

struct ScriptedOutput final : AudioDataOutput {
  ScriptedOutput(std::weak_ptr<MicBufferDelegate> d, SerialQueue& q)
      : delegate(std::move(d)), queue(&q) {}
  std::weak_ptr<MicBufferDelegate> delegate;
  SerialQueue* queue;
};

// The microphone side's shared state: which session runs, where its buffers go.
struct MicState {
  std::mutex mutex;
  bool running = false;
  std::string inputDevice;  // identifier of the input of the running session
  std::weak_ptr<MicBufferDelegate> delegate;
  SerialQueue* queue = nullptr;
  std::thread::id startThread;
};

class ScriptedSession final : public CaptureSession {
 public:
  ScriptedSession(const MicScript& script, CallLog& log, std::shared_ptr<MicState> state)
      : script_(script), log_(log), state_(std::move(state)) {}
  bool canAddInput(const DeviceInput&) override { return script_.canAddInput; }
  void addInput(std::unique_ptr<DeviceInput> input) override {
    log_.add("addInput");
    input_.reset(static_cast<ScriptedInput*>(input.release()));
  }
  bool canAddOutput(const AudioDataOutput&) override { return script_.canAddOutput; }
  void addOutput(std::unique_ptr<AudioDataOutput> output) override {
    log_.add("addOutput");
    output_.reset(static_cast<ScriptedOutput*>(output.release()));
  }
  void startRunning() override {
    log_.add("startRunning");
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->running = true;
    state_->inputDevice = input_ ? input_->deviceID : "";
    state_->delegate = output_ ? output_->delegate : std::weak_ptr<MicBufferDelegate>();
    state_->queue = output_ ? output_->queue : nullptr;
    state_->startThread = std::this_thread::get_id();
  }
  void stopRunning() override {
    log_.add("stopRunning");
    SerialQueue* queue;
    {
      std::lock_guard<std::mutex> guard(state_->mutex);
      state_->running = false;
      queue = state_->queue;
    }
    // Returns only when no buffer of the session is still on its way.
    if (queue) drain(*queue);
  }

 private:
  const MicScript& script_;
  CallLog& log_;
  std::shared_ptr<MicState> state_;
  std::unique_ptr<ScriptedInput> input_;
  std::unique_ptr<ScriptedOutput> output_;
};

class ScriptedMicrophone final : public MicrophoneService {
 public:
  ScriptedMicrophone(CallLog& log, PlatformThreads& platform)
      : log_(log), platform_(platform), devices_(script), state_(std::make_shared<MicState>()) {}

  MicScript script;

  int authorizationStatus() override {
    log_.add("authorizationStatus");
    return script.authorization;
  }
  void requestAccess(std::function<void(bool)> completion) override {
    log_.add("requestAccess");
    if (script.accessAnswer) {
      bool granted = *script.accessAnswer;
      platform_.run([completion = std::move(completion), granted] { completion(granted); });
      return;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    pendingAccess_ = std::move(completion);
  }
  // Answers a held permission request, on a platform thread.
  void answerAccess(bool granted) {
    std::function<void(bool)> completion;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      completion = std::move(pendingAccess_);
    }
    if (completion) platform_.run([completion, granted] { completion(granted); });
  }
  bool accessPending() {
    std::lock_guard<std::mutex> guard(mutex_);
    return static_cast<bool>(pendingAccess_);
  }

  CaptureDevices& devices() override { return devices_; }

  std::variant<std::unique_ptr<DeviceInput>, std::string> createDeviceInput(
      const CaptureDevice& device) override {
    log_.add("createDeviceInput(" + device.uniqueID + ")");
    if (script.inputError) return *script.inputError;
    return std::unique_ptr<DeviceInput>(std::make_unique<ScriptedInput>(device.uniqueID));
  }
  std::unique_ptr<CaptureSession> createSession() override {
    log_.add("createSession");
    return std::make_unique<ScriptedSession>(script, log_, state_);
  }
  std::unique_ptr<AudioDataOutput> createAudioDataOutput(std::weak_ptr<MicBufferDelegate> delegate,
                                                         SerialQueue& queue) override {
    log_.add("createAudioDataOutput");
    return std::make_unique<ScriptedOutput>(std::move(delegate), queue);
  }

  // Hands a buffer to the running session's delegate on its queue; false when
  // no session runs.
  bool deliver(std::shared_ptr<const SampleBuffer> buffer) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (!state_->running || state_->queue == nullptr) return false;
    state_->queue->async([delegate = state_->delegate, buffer = std::move(buffer)] {
      if (std::shared_ptr<MicBufferDelegate> d = delegate.lock()) {
        timedCallback([&] { d->captureOutput(*buffer); });
      }
    });
    return true;
  }
  // Waits until everything delivered so far has been handled.
  void flush() {
    if (SerialQueue* queue = read(&MicState::queue)) drain(*queue);
  }
  bool running() { return read(&MicState::running); }
  std::string runningDevice() { return read(&MicState::inputDevice); }
  std::thread::id startThread() { return read(&MicState::startThread); }

 private:
  template <typename T>
  T read(T MicState::*field) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return (*state_).*field;
  }

  CallLog& log_;
  PlatformThreads& platform_;
  ScriptedDevices devices_;
  std::shared_ptr<MicState> state_;
  std::mutex mutex_;
  std::function<void(bool)> pendingAccess_;
};

// Both services with the log and the threads they share. Destroy the
// capturer before this (its queue may still hold deliveries).
struct ScriptedPlatform {
  CallLog log;
  PlatformThreads platform;
  std::shared_ptr<ScriptedSystemAudio> system = std::make_shared<ScriptedSystemAudio>(log, platform);
  std::shared_ptr<ScriptedMicrophone> microphone =
      std::make_shared<ScriptedMicrophone>(log, platform);

  MediaServices services() { return MediaServices{system, microphone}; }
};

// ---- Buffers -------------------------------------------------------------

inline StreamFormat floatFormat(double rate, uint32_t channels, bool planar = false) {
  return {rate, kFormatFlagIsFloat | (planar ? kFormatFlagIsNonInterleaved : 0u), channels, 32};
}
inline StreamFormat int16Format(double rate, uint32_t channels, bool planar = false) {
  return {rate, kFormatFlagIsSignedInteger | (planar ? kFormatFlagIsNonInterleaved : 0u), channels, 16};
}

template <typename T>
PcmSampleBuffer::Plane planeOf(const std::vector<T>& values) {
  std::vector<std::byte> bytes(values.size() * sizeof(T));
  if (!bytes.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
  return {static_cast<uint32_t>(bytes.size()), std::move(bytes)};
}

// One interleaved float buffer; numSamples is the frame count.
inline std::shared_ptr<const SampleBuffer> interleavedFloat(double rate, uint32_t channels,
                                                            const std::vector<float>& samples) {
  return std::make_shared<PcmSampleBuffer>(floatFormat(rate, channels), std::vector{planeOf(samples)},
                                           static_cast<int64_t>(samples.size() / channels));
}

// Mono float buffer of n frames of one value.
inline std::shared_ptr<const SampleBuffer> monoFloat(double rate, size_t n, float value) {
  return interleavedFloat(rate, 1, std::vector<float>(n, value));
}

}  // namespace scripted
