#include "capture/capturer.hpp"

#include <unistd.h>

#include <utility>

#include "base/console.hpp"
#include "aec/echo_canceller.hpp"
#include "capture/finish_write.hpp"
#include "capture/float_track.hpp"
#include "capture/sample_conversion.hpp"
#include "capture/source_stop.hpp"

namespace {

// The recording ends with every line written (one write each, no buffer of
// ours) and every file written whole and closed. _exit then ends the process
// without running static destructors under the feet of the queue worker and
// the sound server's thread, which are still alive.
void exitNow(int status) { ::_exit(status); }

}  // namespace

std::shared_ptr<Capturer> Capturer::create(std::string outPath, bool system, bool mic,
                                           std::optional<std::string> micDeviceUID,
                                           bool echoCancel, std::shared_ptr<SoundServer> server) {
  return create(std::move(outPath), system, mic, std::move(micDeviceUID), echoCancel,
                std::move(server), exitNow);
}

std::shared_ptr<Capturer> Capturer::create(std::string outPath, bool system, bool mic,
                                           std::optional<std::string> micDeviceUID,
                                           bool echoCancel, std::shared_ptr<SoundServer> server,
                                           ProcessExit exitProcess) {
  return std::shared_ptr<Capturer>(new Capturer(std::move(outPath), system, mic,
                                                std::move(micDeviceUID), echoCancel,
                                                std::move(server), std::move(exitProcess)));
}

Capturer::Capturer(std::string outPath, bool system, bool mic,
                   std::optional<std::string> micDeviceUID, bool echoCancel,
                   std::shared_ptr<SoundServer> server, ProcessExit exitProcess)
    : q("com.narup.capture.samples"),
      spool_(spoolPaths(outPath)),
      sysSamples(std::make_unique<TrackSpool>(spool_.sys, "sys", SpoolTiming{}, spool_.fallbackDirs)),
      micSamples(std::make_unique<TrackSpool>(spool_.mic, "mic", SpoolTiming{}, spool_.fallbackDirs)),
      outPath(std::move(outPath)),
      wantSystem(system),
      wantMic(mic),
      micDeviceUID(std::move(micDeviceUID)),
      wantEchoCancel(echoCancel),
      server_(std::move(server)),
      exitProcess_(std::move(exitProcess)) {}

Capturer::~Capturer() {
  stream.reset();
  micSession.reset();
}

void Capturer::start() {
  if (!wantMic && !wantSystem) fail("no sources selected");
  std::variant<SpoolLock, std::string> claim = claimSpool(outPath, wantSystem && wantMic);
  if (const std::string* refused = std::get_if<std::string>(&claim)) fail(*refused);
  spoolLock_.emplace(std::move(std::get<SpoolLock>(claim)));
  watch_ = std::make_unique<RecordingWatch>(monitor_, outPath, [this] { return spoolBytes(); });
  if (wantMic) configureMic();
  if (wantSystem) startSystem();
}

void Capturer::finishAndExit() {
  std::shared_ptr<RecordSource> mic;
  std::shared_ptr<RecordSource> system;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (finished) return;  // a finish is already under way
    finished = true;
    mic = micSession;
    system = stream;
  }
  if (watch_) watch_->stop();  // no status line and no warning from here on
  if (mic) stopAndWait(*mic, kMicStopTimeout);

  std::weak_ptr<Capturer> weak = weak_from_this();
  ProcessExit exitProcess = exitProcess_;
  if (!system) {
    finishWork(weak, exitProcess);
    return;
  }
  // Whatever the stop meets, the recording is written.
  system->stop([weak, exitProcess] { finishWork(weak, exitProcess); });
}

void Capturer::finishWork(const std::weak_ptr<Capturer>& weak, const ProcessExit& exitProcess) {
  std::shared_ptr<Capturer> self = weak.lock();
  if (!self) {
    exitProcess(0);
    return;
  }
  {
    // Closed under the lock, so that the tracks end at one instant: buffers
    // that still arrive are not kept, as nothing would write them.
    std::lock_guard<std::mutex> guard(self->lock);
    self->sysSamples->close();
    self->micSamples->close();
  }
  std::optional<JoinedTrackSource> sys = self->sysSamples->handOver();
  std::optional<JoinedTrackSource> mic = self->micSamples->handOver();
  double sysRate = 0.0, micRate = 0.0;
  {
    std::lock_guard<std::mutex> guard(self->lock);
    sysRate = self->sysRate;
    micRate = self->micRate;
  }
  const FloatTrackSource none(-1, 0, 0, {});
  const TrackSources tracks{sys ? static_cast<const SampleSource&>(*sys) : none,
                            mic ? static_cast<const SampleSource&>(*mic) : none, sysRate, micRate,
                            self->loudness_};
  // The spool goes only once every file is in place and held the whole
  // recording; otherwise it stays for --recover.
  const FinishReport report = writeRecording(tracks, self->wantEchoCancel, self->outPath,
                                             [] { return EchoCanceller::create(); }, self->adaptiveAec_);
  reportUnwritten(report, self->outPath, self->spool_.dir);
  if (report.empty() && sys && mic) removeSpool(self->spool_);
  exitProcess(report.empty() ? 0 : 1);
}

void Capturer::takeBuffer(const SampleBuffer& buffer, const char* label, bool& logged,
                          double& rate, TrackSpool& spool, int64_t& heldFrames,
                          RecordingMonitor::Source source) {
  if (buffer.bytes.empty()) return;
  if (!logged) {
    logged = true;
    logFormat(buffer.format, label);  // before the conversion, whatever it gives
  }
  std::vector<float> mono = extractMono(buffer, label);
  if (mono.empty()) return;  // the rate is not updated either
  appendSamples(buffer.format.sampleRate, mono, rate, spool, heldFrames);
  monitor_.onSamples(source, buffer.format.sampleRate, mono, monitor_.elapsed());
}

void Capturer::appendSamples(double bufferRate, const std::vector<float>& mono, double& rate,
                             TrackSpool& spool, int64_t& heldFrames) {
  std::lock_guard<std::mutex> guard(lock);
  rate = bufferRate;
  spool.append(bufferRate, mono);
  heldFrames += static_cast<int64_t>(mono.size());
}

uint64_t Capturer::spoolBytes() const {
  return sysSamples->bytesOnDisk() + micSamples->bytesOnDisk();
}
