#include "capture/capturer.hpp"

#include <unistd.h>

#include <utility>

#include "capture/finish_write.hpp"
#include "capture/sample_conversion.hpp"
#include "base/console.hpp"

namespace {

// The recording ends with every line written (one write each, no buffer of
// ours) and every file written whole and closed. _exit then ends the process
// without running static destructors under the feet of the queue worker and
// the sound server's thread, which are still alive.
void exitNow(int status) { ::_exit(status); }

}  // namespace

std::shared_ptr<Capturer> Capturer::create(std::string outPath, bool system, bool mic,
                                           std::optional<std::string> micDeviceUID,
                                           bool echoCancel, MediaServices services) {
  return create(std::move(outPath), system, mic, std::move(micDeviceUID), echoCancel,
                std::move(services), exitNow);
}

std::shared_ptr<Capturer> Capturer::create(std::string outPath, bool system, bool mic,
                                           std::optional<std::string> micDeviceUID,
                                           bool echoCancel, MediaServices services,
                                           ProcessExit exitProcess) {
  return std::shared_ptr<Capturer>(new Capturer(std::move(outPath), system, mic,
                                                std::move(micDeviceUID), echoCancel,
                                                std::move(services), std::move(exitProcess)));
}

Capturer::Capturer(std::string outPath, bool system, bool mic,
                   std::optional<std::string> micDeviceUID, bool echoCancel,
                   MediaServices services, ProcessExit exitProcess)
    : q("com.narup.capture.samples"),
      outPath(std::move(outPath)),
      wantSystem(system),
      wantMic(mic),
      micDeviceUID(std::move(micDeviceUID)),
      wantEchoCancel(echoCancel),
      services_(std::move(services)),
      exitProcess_(std::move(exitProcess)) {}

Capturer::~Capturer() {
  stream.reset();
  micSession.reset();
}

void Capturer::start() {
  if (!wantMic && !wantSystem) fail("no sources selected");
  if (wantMic) startMic();
  if (wantSystem) startSystem();
}

void Capturer::finishAndExit() {
  std::shared_ptr<CaptureSession> session;
  std::shared_ptr<SystemStream> systemStream;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (finished) return;  // a finish is already under way
    finished = true;
    session = micSession;
    systemStream = stream;
  }
  if (session) session->stopRunning();

  std::weak_ptr<Capturer> weak = weak_from_this();
  ProcessExit exitProcess = exitProcess_;
  if (!systemStream) {
    finishWork(weak, exitProcess);
    return;
  }
  // Whatever the stop reports, the recording is written.
  systemStream->stopCapture([weak, exitProcess](const std::optional<std::string>&) {
    finishWork(weak, exitProcess);
  });
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

void Capturer::appendBuffer(const SampleBuffer& buffer, const char* label, bool& logged,
                            double& rate, std::vector<float>& samples) {
  if (!buffer.isValid() || buffer.numSamples() < 1) return;
  const std::optional<StreamFormat> format = buffer.streamFormat();
  if (!format) return;
  if (!logged) {
    logged = true;
    logFormat(*format, label);  // before the conversion, whatever it gives
  }
  std::vector<float> mono = extractMono(buffer, *format, label);
  if (mono.empty()) return;  // the rate is not updated either
  std::lock_guard<std::mutex> guard(lock);
  rate = format->sampleRate;
  samples.insert(samples.end(), mono.begin(), mono.end());
}
