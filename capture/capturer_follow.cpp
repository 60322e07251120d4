// Following the devices while recording: the system source moves to the
// monitor of whichever sink is the default, and a microphone that goes away
// is replaced by the default choice.
//
// A switch retires the source being replaced (its stop fills its track up to
// that instant and its completion comes after its last buffer), then starts
// the new one. Every source places its buffers on the recording's clock from
// the recording's start, so the new one's first frames up to what the track
// already holds are skipped: what is left of its leading silence is the time
// the switch took, and its sound lands at the time it was played.

#include <future>
#include <thread>
#include <utility>
#include <variant>

#include "base/console.hpp"
#include "capture/capturer.hpp"
#include "capture/leading_frames.hpp"
#include "capture/source_stop.hpp"

void Capturer::waitForDeviceFollowing() {
  std::promise<void> done;
  followQueue_.async([&done] { done.set_value(); });
  done.get_future().wait();
}

void Capturer::watchDevices() {
  if (watching_) return;
  watching_ = true;
  std::weak_ptr<Capturer> weak = weak_from_this();
  server_->watchDevices([weak] {
    // Only queued here: the notice's thread is the server's, and this
    // capturer may go while it runs.
    if (std::shared_ptr<Capturer> self = weak.lock()) {
      self->followQueue_.async([weak] {
        if (std::shared_ptr<Capturer> me = weak.lock()) me->followDevices();
      });
    }
  });
}

void Capturer::followDevices() {
  {
    std::lock_guard<std::mutex> guard(lock);
    if (finished) return;
  }
  followSystem();
  followMic();
}

void Capturer::followSystem() {
  if (!systemFollowing_) return;  // never opened, or pinned to its sink
  const std::optional<SinkIdentity> now = server_->defaultSink();
  if (now && now->name != systemSinkName_) {
    switchSystem(*now);
    return;
  }
  if (!systemEnded_) return;
  // The server ended the stream and there is no other sink to follow (or
  // the server itself is gone); a sink that comes later is followed again.
  if (!now) systemSinkName_.clear();
  if (systemWarned_) return;
  // A server may end the stream before it names the new default (PipeWire
  // does, and may remove the sink in between): the verdict waits a moment
  // for the notice of that change, whatever notices come meanwhile.
  const auto clock = std::chrono::steady_clock::now();
  if (!systemEndDeadline_) {
    systemEndDeadline_ = clock + kEndGrace;
    std::weak_ptr<Capturer> weak = weak_from_this();
    std::thread([weak] {
      std::this_thread::sleep_for(kEndGrace);
      if (std::shared_ptr<Capturer> self = weak.lock()) {
        self->followQueue_.async([weak] {
          if (std::shared_ptr<Capturer> me = weak.lock()) me->followSystem();
        });
      }
    }).detach();
    return;
  }
  if (clock < *systemEndDeadline_) return;
  systemWarned_ = true;
  logErr("[WARN] system stream stopped: " + *systemEnded_);
}

void Capturer::switchSystem(const SinkIdentity& sink) {
  std::shared_ptr<RecordSource> current;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (finished) return;
    current = stream;
  }
  const int64_t skip = retire(current, sysFrames_);
  // The old source has stopped: whichever sink is the default next, the
  // track needs a new source.
  systemSinkName_.clear();
  SoundServer::SystemOpening opening = server_->openSystem(sink.name);
  if (!opening.source) {
    // Gone again before it could be opened: the next notice says what now.
    if (opening.error && !systemWarned_) {
      systemWarned_ = true;
      logErr("[WARN] system stream stopped: " + *opening.error);
    }
    return;
  }
  std::shared_ptr<RecordSource> previous;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (finished) return;  // the finish has stopped what it found
    previous = std::exchange(stream, opening.source);
  }
  previous.reset();  // released outside the lock
  if (std::optional<std::string> error = opening.source->start(
          q, trackBuffers(RecordingMonitor::Source::sys, skip), systemStopped(opening.source))) {
    systemWarned_ = true;
    logErr("[WARN] system stream stopped: " + *error);
    return;
  }
  monitor_.sourceStarted(RecordingMonitor::Source::sys, monitor_.elapsed());
  systemSinkName_ = opening.sink.name;
  systemEnded_.reset();
  systemWarned_ = false;
  systemEndDeadline_.reset();
  logErr("system audio → " + opening.sink.description);
}

void Capturer::followMic() {
  if (micState_ == MicState::unwanted || micState_ == MicState::failed) return;
  if (micState_ == MicState::recording && server_->devices().deviceWithUniqueID(micDeviceID_)) {
    return;  // still there: the default source's own changes move nothing
  }
  const std::optional<CaptureDevice> next = defaultMicDevice(false);
  if (!next) {
    // Microphones left but no default named yet: the server names one next
    // (PipeWire does so a moment after the removal), and its notice comes.
    if (micState_ == MicState::absent || !server_->devices().discoverDevices().empty()) return;
    micState_ = MicState::absent;
    logErr("[WARN] no microphone device available");
    return;
  }
  std::shared_ptr<RecordSource> current;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (finished) return;
    current = micSession;
  }
  const int64_t skip = retire(current, micFrames_);
  double rate = 0.0;
  {
    std::lock_guard<std::mutex> guard(lock);
    rate = micRate;
  }
  // At the first microphone's rate, so that the one track keeps one rate.
  if (startMic(next->uniqueID, static_cast<uint32_t>(rate), skip) != MicStart::started) return;
  logErr("microphone → " + next->localizedName);
}

int64_t Capturer::retire(const std::shared_ptr<RecordSource>& current, const int64_t& heldFrames) {
  if (current) stopAndWait(*current, kSwitchStopTimeout);
  std::lock_guard<std::mutex> guard(lock);
  return heldFrames;
}

RecordSource::BufferHandler Capturer::trackBuffers(RecordingMonitor::Source track, int64_t skip) {
  std::weak_ptr<Capturer> weak = weak_from_this();
  auto left = std::make_shared<int64_t>(skip);  // only touched on q
  return [weak, left, track](const SampleBuffer& buffer) {
    std::shared_ptr<Capturer> self = weak.lock();
    if (!self) return;
    const bool sys = track == RecordingMonitor::Source::sys;
    auto take = [&](const SampleBuffer& b) {
      if (sys) {
        self->takeBuffer(b, "system", self->loggedSys, self->sysRate, *self->sysSamples,
                         self->sysFrames_, track);
      } else {
        self->takeBuffer(b, "mic", self->loggedMic, self->micRate, *self->micSamples,
                         self->micFrames_, track);
      }
    };
    if (*left <= 0) return take(buffer);
    SampleBuffer rest = buffer;
    skipLeadingFrames(rest, *left);
    take(rest);
  };
}
