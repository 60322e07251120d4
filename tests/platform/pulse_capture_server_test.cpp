// The record sources on a private PulseAudio daemon: formats, tracks as long
// as the time recorded, the last buffer before the stop's completion, a server
// or sink that goes away reported once, a missing server in libpulse's words.
#include "platform/pulse/pulse_sound_server.hpp"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <filesystem>

#include "audio/wav_writer.hpp"
#include "capture/sample_conversion.hpp"
#include "platform/dispatch/serial_queue.hpp"
#include "platform/pulse/pulse_connection.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// What a source delivered and reported, from whichever thread.
struct Recorder {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<SampleBuffer> buffers;  // guarded by mutex
  std::vector<std::string> stops;     // guarded by mutex
  bool completed = false;             // guarded by mutex
  size_t buffersAtCompletion = 0;     // guarded by mutex

  template <typename Change> void update(Change change) {
    std::lock_guard<std::mutex> guard(mutex);
    change();
    changed.notify_all();
  }
  bool waitFor(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, 10s, done);
  }
};

// A private PulseAudio daemon with a null sink "speakers" and a null source
// "mic", reached through PULSE_SERVER for the duration of one test.
class PrivatePulse : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v pulseaudio >/dev/null 2>&1") != 0) GTEST_SKIP() << "no pulseaudio";
    dir_ = "/tmp/narup-capture-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir_.data()), nullptr);
    const std::string socket = dir_ + "/native";
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);  // gone with the test binary, even one that aborts
      setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
      setenv("HOME", dir_.c_str(), 1);
      freopen("/dev/null", "w", stderr);
      execlp("pulseaudio", "pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1",
             "--use-pid-file=no", ("--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket).c_str(),
             "--load=module-null-sink sink_name=speakers", "--load=module-null-source source_name=mic",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
    for (auto deadline = Clock::now() + 15s; Clock::now() < deadline; std::this_thread::sleep_for(100ms)) {
      if (PulseConnection::connect("narup-test", 1000ms) != nullptr) return;
    }
    FAIL() << "the private PulseAudio did not come up";
  }
  void TearDown() override {
    killServer(SIGTERM);
    unsetenv("PULSE_SERVER");
    if (dir_.find("XXXXXX") == std::string::npos) std::filesystem::remove_all(dir_);
  }
  void killServer(int signo) {
    if (pid_ <= 0) return;
    kill(pid_, signo);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  SoundServer::SystemOpening openSystem() { return server->openSystem(""); }
  std::optional<std::string> start(RecordSource& source) {
    return source.start(q, [this](const SampleBuffer& b) { recorder.update([&] { recorder.buffers.push_back(b); }); },
                        [this](const std::string& e) { recorder.update([&] { recorder.stops.push_back(e); }); });
  }
  void stop(RecordSource& source) {
    source.stop([this] {
      recorder.update([&] { recorder.completed = true, recorder.buffersAtCompletion = recorder.buffers.size(); });
    });
    ASSERT_TRUE(recorder.waitFor([&] { return recorder.completed; }));
  }
  // Records `source` for a second: its buffers come in `expected`, its track
  // keeps the wall clock, and nothing comes after the stop's completion.
  void recordOneSecond(RecordSource& source, StreamFormat expected) {
    const auto begin = Clock::now();
    EXPECT_EQ(start(source), std::nullopt);
    std::this_thread::sleep_for(1000ms);
    const double recorded = std::chrono::duration<double>(Clock::now() - begin).count();
    stop(source);
    std::this_thread::sleep_for(200ms);
    std::lock_guard<std::mutex> guard(recorder.mutex);
    EXPECT_EQ(recorder.buffers.size(), recorder.buffersAtCompletion);
    int64_t frames = 0;
    for (const SampleBuffer& b : recorder.buffers) {
      const StreamFormat& f = b.format;
      EXPECT_EQ(std::tie(f.sampleRate, f.formatFlags, f.channelsPerFrame, f.bitsPerChannel),
                std::tie(expected.sampleRate, expected.formatFlags, expected.channelsPerFrame, expected.bitsPerChannel));
      frames += b.bytes.size() / (f.channelsPerFrame * f.bitsPerChannel / 8);
    }
    EXPECT_NEAR(static_cast<double>(frames) / expected.sampleRate, recorded, 0.05 * recorded);
  }
  void expectOneStopWhen(const std::function<void()>& goesAway) {
    std::shared_ptr<RecordSource> system = openSystem().source;
    ASSERT_NE(system, nullptr);
    ASSERT_EQ(start(*system), std::nullopt);
    goesAway();
    ASSERT_TRUE(recorder.waitFor([&] { return !recorder.stops.empty(); }));
    std::this_thread::sleep_for(300ms);
    stop(*system);
    EXPECT_EQ(recorder.stops.size(), 1u);
    EXPECT_FALSE(recorder.stops[0].empty());
  }

  std::string dir_;
  pid_t pid_ = -1;
  Recorder recorder;
  SerialQueue q{"narup.test.capture"};
  std::shared_ptr<SoundServer> server = makePulseSoundServer();
};

TEST_F(PrivatePulse, MonitorOfTheDefaultSinkIsFloatStereoAt48kOnTheWallClock) {
  std::shared_ptr<RecordSource> system = openSystem().source;
  ASSERT_NE(system, nullptr);
  // A fresh null sink's monitor gives nothing for its first moments: the
  // track still starts with the recording.
  recordOneSecond(*system, {48000, kFormatFlagIsFloat, 2, 32});
}

TEST_F(PrivatePulse, MicrophoneIsFloatAtTheSourcesOwnRateAndChannels) {
  auto unknown = server->openMicrophone("no-such-source");
  ASSERT_TRUE(std::holds_alternative<std::string>(unknown));
  EXPECT_EQ(std::get<std::string>(unknown), "No such entity");
  EXPECT_EQ(server->devices().discoverDevices().size(), 1u);  // monitors are not microphones
  auto mic = server->openMicrophone("mic");
  ASSERT_TRUE(std::holds_alternative<std::shared_ptr<RecordSource>>(mic));
  // The daemon's default source: 16-bit integers, 44100 Hz, stereo.
  recordOneSecond(*std::get<std::shared_ptr<RecordSource>>(mic), {44100, kFormatFlagIsFloat, 2, 32});
}

TEST_F(PrivatePulse, MicrophonesIn24And32BitIntegersRecordWhatTheyHear) {
  if (std::system("command -v paplay >/dev/null 2>&1") != 0) GTEST_SKIP() << "no paplay";
  // Two seconds of voiced syllables: harmonics of 140 Hz under a 4 Hz envelope.
  std::vector<float> played(96000);
  for (size_t i = 0; i < played.size(); ++i) {
    const double t = static_cast<double>(i) / 48000;
    for (int h = 1; h <= 5; ++h) played[i] += static_cast<float>(0.1 / h * std::sin(2 * M_PI * 140 * h * t));
    played[i] *= static_cast<float>(std::pow(std::sin(2 * M_PI * 4 * t), 2));
  }
  writeWav16(played, 48000, dir_ + "/speech.wav");
  for (const std::string format : {"s24le", "s32le"}) {
    SCOPED_TRACE(format);
    const std::string room = "room_" + format;
    ASSERT_EQ(std::system(("pactl load-module module-null-sink sink_name=" + room + " format=" + format +
                           " rate=48000 channels=1 >/dev/null").c_str()), 0);
    auto opened = server->openMicrophone(room + ".monitor");
    ASSERT_TRUE(std::holds_alternative<std::shared_ptr<RecordSource>>(opened));
    RecordSource& mic = *std::get<std::shared_ptr<RecordSource>>(opened);
    recorder.update([&] { recorder.buffers.clear(), recorder.completed = false; });
    ASSERT_EQ(start(mic), std::nullopt);
    ASSERT_EQ(std::system(("paplay --latency-msec=150 -d " + room + " " + dir_ + "/speech.wav").c_str()), 0);
    stop(mic);
    std::vector<float> heard;
    for (const SampleBuffer& b : recorder.buffers) {
      EXPECT_EQ(b.format.formatFlags, kFormatFlagIsFloat);
      std::vector<float> mono = extractMono(b, "mic");
      heard.insert(heard.end(), mono.begin(), mono.end());
    }
    // The middle second of what was played is found in what was heard.
    const std::span<const float> middle(played.data() + 24000, 48000);
    double best = 0;
    for (size_t lag = 0; lag + middle.size() <= heard.size(); lag += 2) {
      double xy = 0, yy = 0;
      for (size_t i = 0; i < middle.size(); i += 4) xy += middle[i] * heard[lag + i], yy += heard[lag + i] * heard[lag + i];
      best = std::max(best, yy > 0 ? xy / std::sqrt(yy) : 0.0);
    }
    double xx = 0;
    for (size_t i = 0; i < middle.size(); i += 4) xx += middle[i] * middle[i];
    EXPECT_GT(best / std::sqrt(xx), 0.95);
  }
}

TEST_F(PrivatePulse, AServerThatGoesAwayStopsTheSourceOnce) {
  expectOneStopWhen([&] {
    std::this_thread::sleep_for(300ms);
    killServer(SIGKILL);
  });
}

TEST_F(PrivatePulse, ASinkThatIsRemovedStopsItsMonitorOnce) {
  if (std::system("command -v pactl >/dev/null 2>&1") != 0) GTEST_SKIP() << "no pactl";
  expectOneStopWhen([] { ASSERT_EQ(std::system("pactl unload-module module-null-sink >/dev/null 2>&1"), 0); });
}

TEST_F(PrivatePulse, WithoutServerBothSourcesFailInLibpulseWords) {
  killServer(SIGTERM);
  const SoundServer::SystemOpening opened = openSystem();
  EXPECT_EQ(opened.source, nullptr);
  EXPECT_EQ(opened.error, std::optional<std::string>("Connection refused"));
  auto mic = server->openMicrophone("mic");
  ASSERT_TRUE(std::holds_alternative<std::string>(mic));
  EXPECT_EQ(std::get<std::string>(mic), "Connection refused");
  EXPECT_TRUE(server->devices().discoverDevices().empty());
}

}  // namespace
