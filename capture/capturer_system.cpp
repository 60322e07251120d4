// The system source: the monitor of the default sink, and its buffers.

#include <utility>

#include "base/console.hpp"
#include "capture/capturer.hpp"

void Capturer::startSystem() {
  std::weak_ptr<Capturer> weak = weak_from_this();
  server_->openSystem([weak](SoundServer::SystemOpening opening) {
    if (std::shared_ptr<Capturer> self = weak.lock()) self->onSystemOpened(std::move(opening));
  });
}

void Capturer::onSystemOpened(SoundServer::SystemOpening opening) {
  if (opening.error) {
    logErr("[WARN] shareable content: " + *opening.error + " — system audio disabled.");
    return;
  }
  if (!opening.source) {
    logErr("[WARN] no display; system audio disabled");
    return;
  }
  std::shared_ptr<RecordSource> created = std::move(opening.source);
  // Published before it starts: from here on the finish asks this source to
  // stop, even if it never starts.
  std::shared_ptr<RecordSource> previous;
  {
    std::lock_guard<std::mutex> guard(lock);
    previous = std::exchange(stream, created);
  }
  previous.reset();  // released outside the lock

  std::weak_ptr<Capturer> weak = weak_from_this();
  std::optional<std::string> error = created->start(
      q,
      [weak](const SampleBuffer& buffer) {
        if (std::shared_ptr<Capturer> self = weak.lock()) {
          self->takeBuffer(buffer, "system", self->loggedSys, self->sysRate, *self->sysSamples,
                          RecordingMonitor::Source::sys);
        }
      },
      [](const std::string& reason) {
        // The recording goes on with what still runs; nothing is restarted.
        logErr("[WARN] system stream stopped: " + reason);
      });
  if (error) {
    logErr("[WARN] startCapture: " + *error);
  } else {
    monitor_.sourceStarted(RecordingMonitor::Source::sys, monitor_.elapsed());
    logErr("system capture started");
  }
}
