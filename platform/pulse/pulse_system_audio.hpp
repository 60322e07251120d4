#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "capture/media_services.hpp"
#include "platform/pulse/pulse_clock.hpp"
#include "platform/pulse/pulse_record_link.hpp"
#include "platform/pulse/pulse_record_stream.hpp"

class SerialQueue;

// System audio on the sound server: what the computer plays is the monitor
// of the default sink. The shareable content is that sink (none when the
// server has no default sink); its stream records the sink's monitor as
// 32-bit float, 2 channels, 48000 Hz (the server converts). Completions and
// the stop report run on threads of their own, never on the caller's.
class PulseSystemAudioService final : public SystemAudioService {
 public:
  PulseSystemAudioService(std::shared_ptr<PulseRecordLink> link,
                          std::shared_ptr<RecordingClock> clock);

  void getShareableContent(
      std::function<void(std::optional<ShareableContent>, std::optional<std::string> error)>
          completion) override;
  std::shared_ptr<SystemStream> createStream(const Display& display,
                                             const SystemStreamConfiguration& configuration,
                                             std::weak_ptr<SystemStreamDelegate> delegate) override;

 private:
  std::shared_ptr<PulseRecordLink> link_;
  std::shared_ptr<RecordingClock> clock_;
};

// The stream of one sink's monitor.
class PulseSystemStream final : public SystemStream,
                                public std::enable_shared_from_this<PulseSystemStream> {
 public:
  PulseSystemStream(std::shared_ptr<PulseRecordLink> link, std::shared_ptr<RecordingClock> clock,
                    std::string sinkName, SystemStreamConfiguration configuration,
                    std::weak_ptr<SystemStreamDelegate> delegate);

  std::optional<std::string> addStreamOutput(std::weak_ptr<SystemStreamDelegate> output,
                                             StreamOutputType type, SerialQueue& queue) override;
  void startCapture(ErrorCompletion completion) override;
  // Queues what is left of the stream and a fill up to now, then runs the
  // completion, on a thread of its own, once every buffer already queued has
  // been delivered.
  void stopCapture(ErrorCompletion completion) override;

 private:
  std::optional<std::string> startRecording();

  std::shared_ptr<PulseRecordLink> link_;
  std::shared_ptr<RecordingClock> clock_;
  const std::string sinkName_;
  const SystemStreamConfiguration configuration_;
  const std::weak_ptr<SystemStreamDelegate> delegate_;

  std::mutex mutex_;                              // guards everything below
  std::weak_ptr<SystemStreamDelegate> output_;    // the audio output
  SerialQueue* queue_ = nullptr;                  // its queue; outlives the stream
  std::shared_ptr<PulseRecordStream> record_;
  bool stopped_ = false;
};
