// The media services on a real, private PulseAudio daemon: the system stream
// and the microphone session deliver on the queue in the formats they state,
// keep their tracks as long as the time recorded, finish delivering before
// their stop returns (or its completion runs), report a server that goes
// away once, and report a missing server in libpulse's words.
#include "platform/pulse/pulse_media_services.hpp"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dispatch/serial_queue.hpp"
#include "platform/pulse/pulse_connection.hpp"
#include "support/queue_drain.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Something that becomes true on another thread; waited for with a limit.
class Flag {
 public:
  void set() {
    std::lock_guard<std::mutex> guard(mutex_);
    set_ = true;
    cv_.notify_all();
  }
  bool waitFor(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool set_ = false;
};

// Records what a source delivers: frames, formats, threads, stop reports.
class Recorder final : public SystemStreamDelegate, public MicBufferDelegate {
 public:
  void streamDidOutput(const SampleBuffer& buffer, StreamOutputType type) override {
    take(buffer, type == StreamOutputType::audio);
  }
  void streamDidStop(const std::string& error) override {
    std::lock_guard<std::mutex> guard(mutex_);
    stops.push_back(error);
    stopped.set();
  }
  void captureOutput(const SampleBuffer& buffer) override { take(buffer, true); }

  int64_t frameCount() {
    std::lock_guard<std::mutex> guard(mutex_);
    return frames;
  }

  std::mutex mutex_;
  int64_t frames = 0;                  // guarded by mutex_
  bool allAudio = true;                // guarded by mutex_
  bool sizesMatch = true;              // guarded by mutex_: bytes == frames x frame size
  std::vector<StreamFormat> formats;   // guarded by mutex_
  std::vector<std::thread::id> threads;  // guarded by mutex_
  std::vector<std::string> stops;      // guarded by mutex_
  Flag stopped;

 private:
  void take(const SampleBuffer& buffer, bool audio) {
    std::optional<StreamFormat> format = buffer.streamFormat();
    uint32_t bytes = 0;
    buffer.withAudioBufferList([&](const AudioBufferList& list) {
      for (const AudioBuffer& b : list.buffers) bytes += b.byteSize;
    });
    std::lock_guard<std::mutex> guard(mutex_);
    allAudio = allAudio && audio && buffer.isValid();
    if (format) {
      formats.push_back(*format);
      const uint32_t frameBytes = format->channelsPerFrame * format->bitsPerChannel / 8;
      sizesMatch = sizesMatch && frameBytes > 0 &&
                   static_cast<int64_t>(bytes) == buffer.numSamples() * frameBytes;
    }
    frames += buffer.numSamples();
    threads.push_back(std::this_thread::get_id());
  }
};

std::thread::id threadOf(SerialQueue& q) {
  std::thread::id id;
  q.async([&] { id = std::this_thread::get_id(); });
  drain(q);
  return id;
}

// A private PulseAudio daemon with a null sink "speakers" and a null source
// "mic", reached through PULSE_SERVER for the duration of one test.
class PrivatePulse : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v pulseaudio >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "pulseaudio is not installed";
    }
    if (const char* old = std::getenv("PULSE_SERVER")) saved_ = old;
    dir_ = "/tmp/narup-capture-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir_.data()), nullptr);
    socket_ = dir_ + "/native";
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      // The daemon goes with the test binary, even one that aborts (a
      // sanitizer stopping at its first report) before TearDown.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      setsid();
      setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
      setenv("HOME", dir_.c_str(), 1);
      freopen("/dev/null", "w", stdout);
      freopen("/dev/null", "w", stderr);
      std::string protocol = "module-native-protocol-unix auth-anonymous=1 socket=" + socket_;
      execlp("pulseaudio", "pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1",
             "--use-pid-file=no", "--disallow-exit=yes", "--log-target=stderr",
             ("--load=" + protocol).c_str(), "--load=module-null-sink sink_name=speakers",
             "--load=module-null-source source_name=mic", static_cast<char*>(nullptr));
      _exit(127);
    }
    setenv("PULSE_SERVER", ("unix:" + socket_).c_str(), 1);
    const auto deadline = Clock::now() + 15s;
    while (Clock::now() < deadline) {
      if (PulseConnection::connect("narup-test", 1000ms) != nullptr) return;
      std::this_thread::sleep_for(100ms);
    }
    FAIL() << "the private PulseAudio did not come up";
  }

  void TearDown() override {
    killServer(SIGTERM);
    if (saved_) {
      setenv("PULSE_SERVER", saved_->c_str(), 1);
    } else {
      unsetenv("PULSE_SERVER");
    }
    if (!dir_.empty() && dir_.find("XXXXXX") == std::string::npos) {
      std::error_code ignored;
      std::filesystem::remove_all(dir_, ignored);
    }
  }

  void killServer(int signo) {
    if (pid_ <= 0) return;
    kill(-pid_, signo);
    kill(pid_, signo);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  // What the system side answers when asked for its content.
  static std::pair<std::optional<ShareableContent>, std::optional<std::string>> contentOf(
      MediaServices& services) {
    std::pair<std::optional<ShareableContent>, std::optional<std::string>> answer;
    Flag got;
    services.system->getShareableContent(
        [&](std::optional<ShareableContent> c, std::optional<std::string> e) {
          answer = {std::move(c), std::move(e)};
          got.set();
        });
    EXPECT_TRUE(got.waitFor(10s));
    return answer;
  }

  // The system stream of the default sink, started; nothing on failure.
  std::shared_ptr<SystemStream> startSystem(MediaServices& services, SerialQueue& q,
                                            const std::shared_ptr<Recorder>& recorder) {
    auto [content, error] = contentOf(services);
    EXPECT_FALSE(error.has_value()) << *error;
    if (!content || content->displays.size() != 1) {
      ADD_FAILURE() << "expected one display";
      return nullptr;
    }
    EXPECT_EQ(content->displays[0].id, "speakers");
    SystemStreamConfiguration config;
    config.capturesAudio = true;
    config.sampleRate = 48000;
    config.channelCount = 2;
    std::shared_ptr<SystemStream> stream =
        services.system->createStream(content->displays[0], config, recorder);
    EXPECT_EQ(stream->addStreamOutput(recorder, StreamOutputType::audio, q), std::nullopt);
    std::optional<std::string> startError = std::string("no answer");
    Flag started;
    stream->startCapture([&](std::optional<std::string> e) {
      startError = std::move(e);
      started.set();
    });
    EXPECT_TRUE(started.waitFor(10s));
    EXPECT_EQ(startError, std::nullopt);
    return stream;
  }

  // A started system stream whose source then `goesAway`: one stop report,
  // and stopping the stream afterwards still completes.
  void expectOneStopWhen(const std::function<void()>& goesAway) {
    SerialQueue q("narup.test.capture");
    auto recorder = std::make_shared<Recorder>();
    MediaServices services = makePulseMediaServices();
    std::shared_ptr<SystemStream> stream = startSystem(services, q, recorder);
    ASSERT_NE(stream, nullptr);
    goesAway();
    ASSERT_TRUE(recorder->stopped.waitFor(10s));
    std::this_thread::sleep_for(300ms);
    {
      std::lock_guard<std::mutex> guard(recorder->mutex_);
      ASSERT_EQ(recorder->stops.size(), 1u);
      EXPECT_FALSE(recorder->stops[0].empty());
    }
    Flag done;
    stream->stopCapture([&](std::optional<std::string>) { done.set(); });
    EXPECT_TRUE(done.waitFor(10s));
  }

  std::string dir_;
  std::string socket_;
  std::optional<std::string> saved_;
  pid_t pid_ = -1;
};

TEST_F(PrivatePulse, SystemStreamKeepsTheWallClockAndFinishesBeforeItsCompletion) {
  SerialQueue q("narup.test.capture");
  auto recorder = std::make_shared<Recorder>();
  MediaServices services = makePulseMediaServices();
  const auto begin = Clock::now();
  std::shared_ptr<SystemStream> stream = startSystem(services, q, recorder);
  ASSERT_NE(stream, nullptr);
  std::this_thread::sleep_for(1200ms);

  std::atomic<int64_t> framesAtCompletion{-1};
  std::atomic<bool> completionOnQueue{true};
  const std::thread::id queueThread = threadOf(q);
  Flag done;
  const auto stopAt = Clock::now();
  stream->stopCapture([&](std::optional<std::string>) {
    framesAtCompletion = recorder->frameCount();
    completionOnQueue = std::this_thread::get_id() == queueThread;
    done.set();
  });
  ASSERT_TRUE(done.waitFor(10s));
  std::this_thread::sleep_for(200ms);

  EXPECT_FALSE(completionOnQueue.load());
  // Nothing arrives after the completion: the finish may take the track.
  EXPECT_EQ(framesAtCompletion.load(), recorder->frameCount());
  // The track is as long as the time recorded, start-up included: a fresh
  // null sink's monitor gives nothing at all for its first moments.
  const double recorded = std::chrono::duration<double>(stopAt - begin).count();
  const double seconds = static_cast<double>(recorder->frameCount()) / 48000.0;
  EXPECT_NEAR(seconds, recorded, 0.05 * recorded);

  std::lock_guard<std::mutex> guard(recorder->mutex_);
  EXPECT_TRUE(recorder->allAudio);
  EXPECT_TRUE(recorder->sizesMatch);
  ASSERT_FALSE(recorder->formats.empty());
  for (const StreamFormat& f : recorder->formats) {
    EXPECT_EQ(f.sampleRate, 48000.0);
    EXPECT_EQ(f.channelsPerFrame, 2u);
    EXPECT_EQ(f.bitsPerChannel, 32u);
    EXPECT_EQ(f.formatFlags & (kFormatFlagIsFloat | kFormatFlagIsNonInterleaved),
              kFormatFlagIsFloat);
  }
  for (std::thread::id id : recorder->threads) EXPECT_EQ(id, queueThread);
  EXPECT_TRUE(recorder->stops.empty());
}

TEST_F(PrivatePulse, MicrophoneRecordsTheSourceInItsOwnFormat) {
  SerialQueue q("narup.test.capture");
  auto recorder = std::make_shared<Recorder>();
  MediaServices services = makePulseMediaServices();
  MicrophoneService& mic = *services.microphone;
  EXPECT_EQ(mic.authorizationStatus(), kAuthorizationAuthorized);

  // The device as the device list gives it: the source's name is its id.
  const std::optional<CaptureDevice> device = CaptureDevice{"mic", "Null Input", 0};
  auto unknown = mic.createDeviceInput(CaptureDevice{"no-such-source", "none", 0});
  ASSERT_TRUE(std::holds_alternative<std::string>(unknown));
  EXPECT_EQ(std::get<std::string>(unknown), "No such entity");

  auto made = mic.createDeviceInput(*device);
  ASSERT_TRUE(std::holds_alternative<std::unique_ptr<DeviceInput>>(made));
  std::unique_ptr<DeviceInput> input = std::move(std::get<std::unique_ptr<DeviceInput>>(made));
  std::unique_ptr<CaptureSession> session = mic.createSession();
  ASSERT_TRUE(session->canAddInput(*input));
  session->addInput(std::move(input));
  std::unique_ptr<AudioDataOutput> output = mic.createAudioDataOutput(recorder, q);
  ASSERT_TRUE(session->canAddOutput(*output));
  session->addOutput(std::move(output));
  // One input and one output per session.
  auto second = mic.createDeviceInput(*device);
  ASSERT_TRUE(std::holds_alternative<std::unique_ptr<DeviceInput>>(second));
  EXPECT_FALSE(session->canAddInput(*std::get<std::unique_ptr<DeviceInput>>(second)));

  const auto begin = Clock::now();
  session->startRunning();
  std::this_thread::sleep_for(1000ms);
  const auto stopAt = Clock::now();
  session->stopRunning();
  const int64_t atReturn = recorder->frameCount();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(recorder->frameCount(), atReturn);

  std::lock_guard<std::mutex> guard(recorder->mutex_);
  ASSERT_FALSE(recorder->formats.empty());
  // The daemon's default sample format: 16-bit integers, 44100 Hz, stereo.
  const StreamFormat f = recorder->formats.front();
  EXPECT_EQ(f.sampleRate, 44100.0);
  EXPECT_EQ(f.bitsPerChannel, 16u);
  EXPECT_EQ(f.formatFlags & (kFormatFlagIsFloat | kFormatFlagIsSignedInteger),
            kFormatFlagIsSignedInteger);
  EXPECT_TRUE(recorder->sizesMatch);
  const double recorded = std::chrono::duration<double>(stopAt - begin).count();
  EXPECT_NEAR(static_cast<double>(recorder->frames) / 44100.0, recorded, 0.05 * recorded);
}

TEST_F(PrivatePulse, AServerThatGoesAwayStopsTheStreamOnce) {
  expectOneStopWhen([&] {
    std::this_thread::sleep_for(300ms);
    killServer(SIGKILL);
  });
}

TEST_F(PrivatePulse, ASinkThatIsRemovedStopsItsStreamOnce) {
  if (std::system("command -v pactl >/dev/null 2>&1") != 0) GTEST_SKIP() << "no pactl";
  expectOneStopWhen(
      [] { ASSERT_EQ(std::system("pactl unload-module module-null-sink >/dev/null 2>&1"), 0); });
}

TEST_F(PrivatePulse, WithoutServerContentAndDevicesFailInLibpulseWords) {
  killServer(SIGTERM);
  MediaServices services = makePulseMediaServices();
  auto [content, error] = contentOf(services);
  EXPECT_FALSE(content.has_value());
  EXPECT_EQ(error, std::optional<std::string>("Connection refused"));
  EXPECT_TRUE(services.microphone->devices().discoverDevices().empty());
  EXPECT_EQ(services.microphone->devices().defaultDevice(), std::nullopt);
  auto made = services.microphone->createDeviceInput(CaptureDevice{"mic", "Mic", 0});
  ASSERT_TRUE(std::holds_alternative<std::string>(made));
  EXPECT_EQ(std::get<std::string>(made), "Connection refused");
}

}  // namespace
