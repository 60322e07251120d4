#include "platform/pulse/pulse_system_audio.hpp"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/sample.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/dispatch/serial_queue.hpp"
#include "platform/pulse/pulse_record_handoff.hpp"

namespace {

constexpr std::chrono::milliseconds kQueryTimeout{3000};

// libpulse's words for why the last request failed; a request that simply
// got no answer in time has no error of its own.
std::string failureText(const PulseConnection& connection) {
  if (connection.lastErrorCode() == PA_OK) return pa_strerror(PA_ERR_TIMEOUT);
  return connection.lastError();
}

// A query's answer, written on the loop's thread and read by the waiter.
// Guarded by its own mutex: the loop lock that orders the two is taken inside
// libpulse, where ThreadSanitizer cannot see it.
struct SinkQuery {
  const PulseConnection* connection = nullptr;
  std::mutex mutex;
  bool found = false;       // guarded by mutex
  std::string name;         // guarded by mutex: the default sink, or the monitor

  void answer(const char* text) {
    {
      std::lock_guard<std::mutex> guard(mutex);
      found = text != nullptr;
      if (text != nullptr) name = text;
    }
    connection->signal();
  }
  std::optional<std::string> result() {
    std::lock_guard<std::mutex> guard(mutex);
    if (!found) return std::nullopt;
    return name;
  }
};

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  loop_handoff::Scope handoff;
  auto* query = static_cast<SinkQuery*>(userdata);
  // No default sink: an empty name, which counts as none.
  query->answer(info == nullptr ? nullptr
                                : (info->default_sink_name != nullptr ? info->default_sink_name
                                                                      : ""));
}

void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
  loop_handoff::Scope handoff;
  auto* query = static_cast<SinkQuery*>(userdata);
  if (eol == 0 && info != nullptr && info->monitor_source_name != nullptr) {
    query->answer(info->monitor_source_name);
  } else {
    query->connection->signal();
  }
}

// The name of the server's default sink ("" when it has none); nothing when
// the server does not answer in time.
std::optional<std::string> queryDefaultSink(const PulseConnection& connection) {
  SinkQuery query;
  query.connection = &connection;
  const auto deadline = PulseConnection::Clock::now() + kQueryTimeout;
  PulseConnection::Lock lock(connection);
  loop_handoff::Scope handoff;
  pa_operation* op = pa_context_get_server_info(connection.context(), onServerInfo, &query);
  const bool answered = connection.waitForOperation(op, deadline);
  loop_handoff::mark();
  if (!answered) return std::nullopt;
  return query.result();
}

// The name of the monitor source of the named sink; nothing when there is no
// such sink or the server does not answer in time.
std::optional<std::string> queryMonitorOf(const PulseConnection& connection,
                                          const std::string& sinkName) {
  SinkQuery query;
  query.connection = &connection;
  const auto deadline = PulseConnection::Clock::now() + kQueryTimeout;
  PulseConnection::Lock lock(connection);
  loop_handoff::Scope handoff;
  pa_operation* op = pa_context_get_sink_info_by_name(connection.context(), sinkName.c_str(),
                                                      onSinkInfo, &query);
  const bool answered = connection.waitForOperation(op, deadline);
  loop_handoff::mark();
  if (!answered) return std::nullopt;
  return query.result();
}

}  // namespace

PulseSystemAudioService::PulseSystemAudioService(std::shared_ptr<PulseRecordLink> link,
                                                 std::shared_ptr<RecordingClock> clock)
    : link_(std::move(link)), clock_(std::move(clock)) {}

void PulseSystemAudioService::getShareableContent(
    std::function<void(std::optional<ShareableContent>, std::optional<std::string> error)>
        completion) {
  std::thread([link = link_, completion = std::move(completion)] {
    std::string error;
    std::shared_ptr<PulseConnection> connection = link->get(&error);
    if (connection == nullptr) {
      completion(std::nullopt, error);
      return;
    }
    std::optional<std::string> sink = queryDefaultSink(*connection);
    if (!sink) {
      completion(std::nullopt, failureText(*connection));
      return;
    }
    // The default sink is the one "display": what the computer plays. A
    // default that names no existing sink counts as none.
    ShareableContent content;
    if (!sink->empty() && queryMonitorOf(*connection, *sink)) {
      content.displays.push_back(Display{*sink});
    }
    completion(content, std::nullopt);
  }).detach();
}

std::shared_ptr<SystemStream> PulseSystemAudioService::createStream(
    const Display& display, const SystemStreamConfiguration& configuration,
    std::weak_ptr<SystemStreamDelegate> delegate) {
  return std::make_shared<PulseSystemStream>(link_, clock_, display.id, configuration,
                                             std::move(delegate));
}

PulseSystemStream::PulseSystemStream(std::shared_ptr<PulseRecordLink> link,
                                     std::shared_ptr<RecordingClock> clock, std::string sinkName,
                                     SystemStreamConfiguration configuration,
                                     std::weak_ptr<SystemStreamDelegate> delegate)
    : link_(std::move(link)),
      clock_(std::move(clock)),
      sinkName_(std::move(sinkName)),
      configuration_(configuration),
      delegate_(std::move(delegate)) {}

std::optional<std::string> PulseSystemStream::addStreamOutput(
    std::weak_ptr<SystemStreamDelegate> output, StreamOutputType type, SerialQueue& queue) {
  // A sound server has no picture: a screen output is accepted and never fed.
  if (type != StreamOutputType::audio) return std::nullopt;
  std::lock_guard<std::mutex> guard(mutex_);
  output_ = std::move(output);
  queue_ = &queue;
  return std::nullopt;
}

void PulseSystemStream::startCapture(ErrorCompletion completion) {
  std::thread([self = shared_from_this(), completion = std::move(completion)] {
    completion(self->startRecording());
  }).detach();
}

std::optional<std::string> PulseSystemStream::startRecording() {
  SerialQueue* queue = nullptr;
  std::weak_ptr<SystemStreamDelegate> output;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopped_ || record_ != nullptr) return std::string(pa_strerror(PA_ERR_BADSTATE));
    if (queue_ == nullptr) return std::string("no audio output registered");
    queue = queue_;
    output = output_;
  }
  std::string error;
  std::shared_ptr<PulseConnection> connection = link_->get(&error);
  if (connection == nullptr) return error;
  std::optional<std::string> monitor = queryMonitorOf(*connection, sinkName_);
  if (!monitor) {
    return connection->lastErrorCode() == PA_OK ? std::string(pa_strerror(PA_ERR_NOENTITY))
                                                : connection->lastError();
  }

  RecordTarget target;
  target.sourceName = *monitor;
  target.sampleFormat = PA_SAMPLE_FLOAT32NE;
  target.rate = configuration_.sampleRate > 0 ? static_cast<uint32_t>(configuration_.sampleRate)
                                            : 48000;
  target.channels = configuration_.channelCount > 0
                      ? static_cast<uint8_t>(configuration_.channelCount)
                      : 2;
  auto record = std::make_shared<PulseRecordStream>(
      connection, clock_, target, *queue,
      [output](const SampleBuffer& buffer) {
        if (std::shared_ptr<SystemStreamDelegate> o = output.lock()) {
          o->streamDidOutput(buffer, StreamOutputType::audio);
        }
      },
      [delegate = delegate_](const std::string& reason) {
        if (std::shared_ptr<SystemStreamDelegate> d = delegate.lock()) d->streamDidStop(reason);
      });
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopped_) return std::string(pa_strerror(PA_ERR_BADSTATE));
    record_ = record;
  }
  return record->start();
}

void PulseSystemStream::stopCapture(ErrorCompletion completion) {
  std::shared_ptr<PulseRecordStream> record;
  SerialQueue* queue = nullptr;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopped_ = true;
    record = record_;
    queue = queue_;
  }
  if (record != nullptr) record->stop();
  // The finish reads the tracks in the completion: run it only once the
  // queue has delivered every buffer of the stream, and off the queue.
  auto finish = [completion = std::move(completion)] {
    std::thread([completion] { completion(std::nullopt); }).detach();
  };
  if (queue != nullptr) {
    queue->async(std::move(finish));
  } else {
    finish();
  }
}
