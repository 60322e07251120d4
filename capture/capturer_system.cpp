// The system source: the stream of what the computer plays, and its buffers.

#include <utility>

#include "capture/capturer.hpp"
#include "base/console.hpp"

void Capturer::startSystem() {
  if (!services_.system) {
    logErr("[WARN] no display; system audio disabled");
    return;
  }
  std::weak_ptr<Capturer> weak = weak_from_this();
  services_.system->getShareableContent(
      [weak](std::optional<ShareableContent> content, std::optional<std::string> error) {
        if (std::shared_ptr<Capturer> self = weak.lock()) self->onShareableContent(content, error);
      });
}

void Capturer::onShareableContent(const std::optional<ShareableContent>& content,
                                  const std::optional<std::string>& error) {
  if (error) {
    logErr("[WARN] shareable content: " + *error + " — system audio disabled.");
    return;
  }
  if (!content || content->displays.empty()) {
    logErr("[WARN] no display; system audio disabled");
    return;
  }
  const Display& display = content->displays.front();

  SystemStreamConfiguration configuration;
  configuration.capturesAudio = true;
  configuration.excludesCurrentProcessAudio = true;
  configuration.sampleRate = 48000;
  configuration.channelCount = 2;
  configuration.width = 2;   // the picture is not wanted: as small and as rare
  configuration.height = 2;  // as the service allows
  configuration.minimumFrameIntervalSeconds = 1.0;

  std::shared_ptr<SystemStream> created = services_.system->createStream(
      display, configuration, std::weak_ptr<SystemStreamDelegate>(shared_from_this()));
  if (!created) {
    // The service promises a stream; a missing one is a missing source.
    logErr("[WARN] no display; system audio disabled");
    return;
  }
  // Published before anything can fail: from here on the finish asks this
  // stream to stop, even if it never starts.
  std::shared_ptr<SystemStream> previous;
  {
    std::lock_guard<std::mutex> guard(lock);
    previous = std::exchange(stream, created);
  }
  previous.reset();  // released outside the lock

  if (std::optional<std::string> addError = created->addStreamOutput(
          std::weak_ptr<SystemStreamDelegate>(shared_from_this()), StreamOutputType::audio, q)) {
    logErr("[WARN] addStreamOutput: " + *addError);
    return;
  }
  created->startCapture([](const std::optional<std::string>& startError) {
    if (startError) {
      logErr("[WARN] startCapture: " + *startError);
    } else {
      logErr("system capture started");
    }
  });
}

void Capturer::streamDidOutput(const SampleBuffer& buffer, StreamOutputType type) {
  if (type != StreamOutputType::audio) return;
  appendBuffer(buffer, "system", loggedSys, sysRate, sysSamples);
}

void Capturer::streamDidStop(const std::string& errorDescription) {
  // The recording goes on with what still runs; the stream is not restarted.
  logErr("[WARN] system stream stopped: " + errorDescription);
}
