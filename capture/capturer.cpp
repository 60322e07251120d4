#include "capture/capturer.hpp"

#include <unistd.h>

#include <condition_variable>
#include <utility>

#include "base/console.hpp"
#include "capture/finish_write.hpp"
#include "capture/sample_conversion.hpp"

namespace {

// The recording ends with every line written (one write each, no buffer of
// ours) and every file written whole and closed. _exit then ends the process
// without running static destructors under the feet of the queue worker and
// the sound server's thread, which are still alive.
void exitNow(int status) { ::_exit(status); }

// Stops a source and waits, bounded, until its last buffer was delivered.
void stopAndWait(RecordSource& source, std::chrono::milliseconds limit) {
  struct Done {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;  // guarded by mutex
  };
  auto state = std::make_shared<Done>();
  source.stop([state] {
    std::lock_guard<std::mutex> guard(state->mutex);
    state->done = true;
    state->cv.notify_all();
  });
  std::unique_lock<std::mutex> wait(state->mutex);
  state->cv.wait_for(wait, limit, [&] { return state->done; });
}

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
  RecordedTracks tracks;
  bool echoCancel = false;
  std::string path;
  {
    std::shared_ptr<Capturer> self = weak.lock();
    if (!self) {
      exitProcess(0);
      return;
    }
    // Moved, not copied: nothing reads the arrays after this, and a long
    // recording would otherwise need twice its memory. Buffers that still
    // arrive land in the emptied arrays and are never written.
    std::lock_guard<std::mutex> guard(self->lock);
    tracks.sys = std::exchange(self->sysSamples, {});
    tracks.mic = std::exchange(self->micSamples, {});
    tracks.sysRate = self->sysRate;
    tracks.micRate = self->micRate;
    echoCancel = self->wantEchoCancel;
    path = self->outPath;
  }
  writeRecording(std::move(tracks), echoCancel, path);
  exitProcess(0);
}

void Capturer::takeBuffer(const SampleBuffer& buffer, const char* label, bool& logged,
                          double& rate, std::vector<float>& samples) {
  if (buffer.bytes.empty()) return;
  if (!logged) {
    logged = true;
    logFormat(buffer.format, label);  // before the conversion, whatever it gives
  }
  std::vector<float> mono = extractMono(buffer, label);
  if (mono.empty()) return;  // the rate is not updated either
  appendSamples(buffer.format.sampleRate, mono, rate, samples);
}

void Capturer::appendSamples(double bufferRate, const std::vector<float>& mono, double& rate,
                             std::vector<float>& samples) {
  std::lock_guard<std::mutex> guard(lock);
  rate = bufferRate;
  samples.insert(samples.end(), mono.begin(), mono.end());
}
