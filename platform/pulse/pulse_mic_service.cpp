#include "platform/pulse/pulse_mic_service.hpp"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/sample.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "base/console.hpp"
#include "platform/dispatch/serial_queue.hpp"
#include "platform/pulse/pulse_record_handoff.hpp"
#include "platform/pulse/pulse_devices.hpp"

namespace {

constexpr std::chrono::milliseconds kQueryTimeout{3000};

// The same sample type in this machine's byte order: the capture code reads
// native-endian samples, and swapping bytes loses nothing.
pa_sample_format_t nativeOrder(pa_sample_format_t format) {
  switch (format) {
    case PA_SAMPLE_S16LE: case PA_SAMPLE_S16BE: return PA_SAMPLE_S16NE;
    case PA_SAMPLE_FLOAT32LE: case PA_SAMPLE_FLOAT32BE: return PA_SAMPLE_FLOAT32NE;
    case PA_SAMPLE_S32LE: case PA_SAMPLE_S32BE: return PA_SAMPLE_S32NE;
    case PA_SAMPLE_S24LE: case PA_SAMPLE_S24BE: return PA_SAMPLE_S24NE;
    case PA_SAMPLE_S24_32LE: case PA_SAMPLE_S24_32BE: return PA_SAMPLE_S24_32NE;
    default: return format;
  }
}

// The answer, written on the loop's thread and read by the waiter; guarded by
// its own mutex, since the loop lock that orders the two is taken inside
// libpulse, where ThreadSanitizer cannot see it.
struct SourceQuery {
  const PulseConnection* connection = nullptr;
  std::mutex mutex;
  bool found = false;  // guarded by mutex
  RecordTarget target;     // guarded by mutex
};

void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  loop_handoff::Scope handoff;
  auto* query = static_cast<SourceQuery*>(userdata);
  std::lock_guard<std::mutex> guard(query->mutex);
  if (eol == 0 && info != nullptr) {
    query->found = true;
    query->target.sourceName = info->name != nullptr ? info->name : "";
    query->target.sampleFormat = nativeOrder(info->sample_spec.format);
    query->target.rate = info->sample_spec.rate;
    query->target.channels = info->sample_spec.channels;
    query->target.channelPositions.clear();
    for (uint8_t i = 0; i < info->channel_map.channels; ++i) {
      query->target.channelPositions.push_back(info->channel_map.map[i]);
    }
  }
  query->connection->signal();
}

}  // namespace

PulseMicrophoneService::PulseMicrophoneService(std::shared_ptr<PulseRecordLink> link,
                                               std::shared_ptr<RecordingClock> clock)
    : link_(std::move(link)), clock_(std::move(clock)) {}

void PulseMicrophoneService::requestAccess(std::function<void(bool granted)> completion) {
  std::thread([completion = std::move(completion)] { completion(true); }).detach();
}

CaptureDevices& PulseMicrophoneService::devices() {
  std::lock_guard<std::mutex> guard(devicesMutex_);
  if (devices_ == nullptr) devices_ = makePulseCaptureDevices(link_->get());
  return *devices_;
}

std::variant<std::unique_ptr<DeviceInput>, std::string> PulseMicrophoneService::createDeviceInput(
    const CaptureDevice& device) {
  std::string error;
  std::shared_ptr<PulseConnection> connection = link_->get(&error);
  if (connection == nullptr) return error;

  SourceQuery query;
  query.connection = connection.get();
  {
    const auto deadline = PulseConnection::Clock::now() + kQueryTimeout;
    PulseConnection::Lock lock(*connection);
    loop_handoff::Scope handoff;
    pa_operation* op = pa_context_get_source_info_by_name(
        connection->context(), device.uniqueID.c_str(), onSourceInfo, &query);
    const bool answered = connection->waitForOperation(op, deadline);
    loop_handoff::mark();
    std::lock_guard<std::mutex> guard(query.mutex);
    if (!answered || !query.found) {
      if (connection->lastErrorCode() != PA_OK) return connection->lastError();
      return std::string(pa_strerror(answered ? PA_ERR_NOENTITY : PA_ERR_TIMEOUT));
    }
  }
  RecordTarget target;
  {
    std::lock_guard<std::mutex> guard(query.mutex);
    target = query.target;
  }
  return std::unique_ptr<DeviceInput>(
      std::make_unique<PulseMicInput>(std::move(connection), std::move(target)));
}

std::unique_ptr<CaptureSession> PulseMicrophoneService::createSession() {
  return std::make_unique<PulseMicSession>(clock_);
}

std::unique_ptr<AudioDataOutput> PulseMicrophoneService::createAudioDataOutput(
    std::weak_ptr<MicBufferDelegate> delegate, SerialQueue& queue) {
  return std::make_unique<PulseMicOutput>(std::move(delegate), queue);
}

PulseMicSession::PulseMicSession(std::shared_ptr<RecordingClock> clock)
    : clock_(std::move(clock)) {}

PulseMicSession::~PulseMicSession() {
  std::shared_ptr<PulseRecordStream> record;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    record = std::move(record_);
  }
  record.reset();  // disconnects, outside our lock
}

bool PulseMicSession::canAddInput(const DeviceInput& input) {
  std::lock_guard<std::mutex> guard(mutex_);
  return input_ == nullptr && dynamic_cast<const PulseMicInput*>(&input) != nullptr;
}

void PulseMicSession::addInput(std::unique_ptr<DeviceInput> input) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (input_ != nullptr || dynamic_cast<PulseMicInput*>(input.get()) == nullptr) return;
  input_.reset(static_cast<PulseMicInput*>(input.release()));
}

bool PulseMicSession::canAddOutput(const AudioDataOutput& output) {
  std::lock_guard<std::mutex> guard(mutex_);
  return output_ == nullptr && dynamic_cast<const PulseMicOutput*>(&output) != nullptr;
}

void PulseMicSession::addOutput(std::unique_ptr<AudioDataOutput> output) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (output_ != nullptr || dynamic_cast<PulseMicOutput*>(output.get()) == nullptr) return;
  output_.reset(static_cast<PulseMicOutput*>(output.release()));
}

void PulseMicSession::startRunning() {
  std::shared_ptr<PulseRecordStream> record;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (input_ == nullptr || output_ == nullptr || record_ != nullptr || stopped_) return;
    std::weak_ptr<MicBufferDelegate> delegate = output_->delegate;
    // Nothing reacts to a microphone that goes away while recording: its
    // track simply ends there, and the stop fills it up to the stop.
    record_ = std::make_shared<PulseRecordStream>(
        input_->connection, clock_, input_->target, output_->queue,
        [delegate](const SampleBuffer& buffer) {
          if (std::shared_ptr<MicBufferDelegate> d = delegate.lock()) d->captureOutput(buffer);
        },
        nullptr);
    record = record_;
  }
  if (std::optional<std::string> error = record->start()) {
    logErr("[WARN] mic stream: " + *error);
  }
}

void PulseMicSession::stopRunning() {
  std::shared_ptr<PulseRecordStream> record;
  SerialQueue* queue = nullptr;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopped_ = true;
    record = record_;
    if (output_ != nullptr) queue = &output_->queue;
  }
  if (record == nullptr || queue == nullptr) return;
  record->stop();

  // Wait until the queue has run everything queued before this point.
  auto state = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
  auto done = std::make_shared<bool>(false);
  queue->async([state, done] {
    std::lock_guard<std::mutex> guard(state->first);
    *done = true;
    state->second.notify_all();
  });
  std::unique_lock<std::mutex> lock(state->first);
  state->second.wait_for(lock, kDrainTimeout, [&] { return *done; });
}
