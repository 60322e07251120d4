// The system source: the monitor of the default sink (or of the sink the
// command line names), and its buffers.

#include <utility>

#include "base/console.hpp"
#include "capture/capturer.hpp"

void Capturer::startSystem() {
  std::weak_ptr<Capturer> weak = weak_from_this();
  // Off the main thread: the server may take a while to answer. The notices
  // are asked for first, so that no change after the opening goes unseen.
  followQueue_.async([weak] {
    std::shared_ptr<Capturer> self = weak.lock();
    if (!self) return;
    self->watchDevices();
    SoundServer::SystemOpening opening;
    const std::string& pinned = self->systemDeviceUID_;
    if (pinned.empty()) {
      opening = self->server_->openSystem("");
    } else {
      opening = self->server_->openSystem(pinned);
      self->systemPinned_ = opening.source != nullptr || opening.error.has_value();
      if (!self->systemPinned_) {
        logErr("[WARN] system device '" + pinned + "' not found; using default");
        opening = self->server_->openSystem("");
      }
    }
    self->onSystemOpened(std::move(opening));
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

  if (std::optional<std::string> error = created->start(q, trackBuffers(RecordingMonitor::Source::sys, 0),
                                                           systemStopped(created))) {
    logErr("[WARN] startCapture: " + *error);
  } else {
    monitor_.sourceStarted(RecordingMonitor::Source::sys, monitor_.elapsed());
    systemSinkName_ = opening.sink.name;
    systemFollowing_ = !systemPinned_;
    logErr("system capture started");
  }
}

RecordSource::StoppedHandler Capturer::systemStopped(const std::shared_ptr<RecordSource>& source) {
  std::weak_ptr<Capturer> weak = weak_from_this();
  std::weak_ptr<RecordSource> ended = source;
  return [weak, ended](const std::string& reason) {
    std::shared_ptr<Capturer> self = weak.lock();
    if (!self) return;
    self->followQueue_.async([weak, ended, reason] {
      std::shared_ptr<Capturer> me = weak.lock();
      if (!me || !me->isCurrent(ended, true)) return;
      me->systemEnded_ = reason;
      if (me->systemFollowing_) {
        me->followSystem();
      } else {
        // A pinned sink is never left: the recording goes on with what still runs.
        me->systemWarned_ = true;
        logErr("[WARN] system stream stopped: " + reason);
      }
    });
  };
}
