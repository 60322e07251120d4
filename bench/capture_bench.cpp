// Drives the capturer through the scripted sound server with a simulated
// recording (default one hour) of 48 kHz audio from both sources, delivered
// as fast as the capture queue takes it, then runs the finish (without ending
// the process). Prints the cost of the delivery per second of audio, the
// finish's wall time, and the peak resident memory as a multiple of the raw
// tracks (2 × 4 bytes × samples per track).
//
//   capture_bench [seconds]

#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "capture/capturer.hpp"
#include "tests/capture/scripted_sound_server.hpp"

namespace {

constexpr double kRate = 48000.0;
constexpr size_t kChunk = 480;          // 10 ms buffers, as a sound server delivers them
constexpr size_t kFlushEvery = 100;     // buffers per source between waits: 1 s in flight at most
constexpr size_t kEchoDelay = 1920;     // 40 ms from loudspeaker to microphone

// Peak resident set so far, in bytes.
double peakRssBytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) * 1024.0;
}

double currentRssBytes() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      double kb = 0;
      status >> kb;
      return kb * 1024.0;
    }
  }
  return 0.0;
}

// A cheap noise source for speech-like broadband content.
struct Noise {
  uint32_t state = 12345;
  float next() {
    state = state * 1664525u + 1013904223u;
    return static_cast<float>(static_cast<int32_t>(state)) / 2147483648.0f;
  }
};

// A buffer of interleaved samples.
template <typename T>
SampleBuffer bufferOf(uint32_t flags, uint32_t channels, const std::vector<T>& values) {
  SampleBuffer b{{kRate, flags, channels, 8 * sizeof(T)},
                 std::vector<std::byte>(values.size() * sizeof(T))};
  std::memcpy(b.bytes.data(), values.data(), b.bytes.size());
  return b;
}

SampleBuffer stereoFloat(const std::vector<float>& mono) {
  std::vector<float> interleaved(mono.size() * 2);
  for (size_t i = 0; i < mono.size(); ++i) {
    interleaved[2 * i] = mono[i];
    interleaved[2 * i + 1] = mono[i] * 0.9f;
  }
  return bufferOf(kFormatFlagIsFloat, 2, interleaved);
}

SampleBuffer monoInt16(const std::vector<float>& mono) {
  std::vector<int16_t> values(mono.size());
  for (size_t i = 0; i < mono.size(); ++i) {
    float v = mono[i] * 32767.0f;
    values[i] = static_cast<int16_t>(v > 32767.0f ? 32767.0f : (v < -32768.0f ? -32768.0f : v));
  }
  return bufferOf(kFormatFlagIsSignedInteger, 1, values);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3600.0;
  const size_t buffers = static_cast<size_t>(seconds * kRate / kChunk);
  const double samplesPerTrack = static_cast<double>(buffers * kChunk);
  const double rawBytes = 2.0 * 4.0 * samplesPerTrack;

  char tmpl[] = "/tmp/narup-capture-bench-XXXXXX";
  const std::string dir = ::mkdtemp(tmpl);
  ::setenv("HOME", dir.c_str(), 1);  // the canceller's log goes there

  std::mutex exitMutex;
  std::condition_variable exitCv;
  bool exited = false;
  auto recordExit = [&](int) {
    std::lock_guard<std::mutex> guard(exitMutex);
    exited = true;
    exitCv.notify_all();
  };

  auto server = std::make_shared<scripted::Server>();
  server->inputs = {CaptureDevice{"mic", "Bench Mic", kTransportTypeBuiltIn}};
  std::shared_ptr<Capturer> cap = Capturer::create(dir + "/bench.wav", true, true, std::nullopt,
                                                   true, server, recordExit);
  cap->start();
  server->shared.join();
  scripted::Source& stream = *server->system;
  scripted::Source& mic = *server->mic;
  const double baseRss = currentRssBytes();

  // Far end into the system source; the microphone hears it 40 ms later at
  // 0.4 with a quiet near end of its own.
  Noise far;
  Noise near;
  std::vector<float> history(kEchoDelay, 0.0f);
  size_t historyAt = 0;
  std::vector<float> sysChunk(kChunk), micChunk(kChunk);
  double buildSeconds = 0.0;  // making the buffers, charged to the producer
  auto recordBegin = std::chrono::steady_clock::now();
  for (size_t b = 0; b < buffers; ++b) {
    const auto buildBegin = std::chrono::steady_clock::now();
    for (size_t i = 0; i < kChunk; ++i) {
      float f = 0.3f * far.next();
      float delayed = history[historyAt];
      history[historyAt] = f;
      historyAt = (historyAt + 1) % kEchoDelay;
      sysChunk[i] = f;
      micChunk[i] = 0.4f * delayed + 0.05f * near.next();
    }
    SampleBuffer sysBuffer = stereoFloat(sysChunk);
    SampleBuffer micBuffer = monoInt16(micChunk);
    buildSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - buildBegin).count();
    stream.deliver(std::move(sysBuffer));
    mic.deliver(std::move(micBuffer));
    if (b % kFlushEvery == kFlushEvery - 1) stream.flush();
  }
  stream.flush();
  const double recordWall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - recordBegin).count();
  // The queue runs alongside the producer; what the delivery costs beyond
  // making the buffers bounds its work from above.
  const double queueSeconds = recordWall - buildSeconds;
  const double recordPeak = peakRssBytes();

  auto finishBegin = std::chrono::steady_clock::now();
  cap->finishAndExit();
  {
    std::unique_lock<std::mutex> lock(exitMutex);
    exitCv.wait(lock, [&] { return exited; });
  }
  const double finishWall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - finishBegin).count();
  const double peak = peakRssBytes();

  std::printf("capture_bench: %.0f s of 48 kHz audio per source (%zu buffers of %zu frames each)\n",
              seconds, buffers, kChunk);
  std::printf("  delivery (queue included, buffers made apart): %.1f us per second of audio (both sources), %.4f%% of real time\n",
              queueSeconds / seconds * 1e6, queueSeconds / seconds * 100.0);
  std::printf("  delivery wall time: %.1f s (producer included)\n", recordWall);
  std::printf("  finish wall time: %.1f s\n", finishWall);
  std::printf("  raw tracks: %.0f MB (2 x 4 B x %.0f samples)\n", rawBytes / 1e6, samplesPerTrack);
  std::printf("  RSS before recording: %.0f MB\n", baseRss / 1e6);
  std::printf("  peak RSS while recording: %.0f MB = %.2fx raw tracks\n", recordPeak / 1e6,
              recordPeak / rawBytes);
  std::printf("  peak RSS of the process: %.0f MB = %.2fx raw tracks (target <= 4x)\n", peak / 1e6,
              peak / rawBytes);

  cap.reset();
  server->shared.join();
  std::filesystem::remove_all(dir);
  return 0;
}
