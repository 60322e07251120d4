#pragma once

// What the capturer tests share: a scripted platform, a recorded process
// exit, a temporary folder as output place and HOME, and buffer helpers.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/capturer.hpp"
#include "scripted_media_services.hpp"
#include "support/stderr_capture.hpp"

// The process exits the capturer asked for, with the thread that asked.
class ExitRecorder {
 public:
  Capturer::ProcessExit function() {
    return [this](int status) {
      std::function<void()> hook;
      {
        std::lock_guard<std::mutex> guard(mutex_);
        statuses_.push_back(status);
        threads_.push_back(std::this_thread::get_id());
        hook = onExit;
      }
      if (hook) hook();
      cv_.notify_all();
    };
  }
  bool waitFor(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return statuses_.size() >= count; });
  }
  std::vector<int> statuses() {
    std::lock_guard<std::mutex> guard(mutex_);
    return statuses_;
  }
  std::vector<std::thread::id> threads() {
    std::lock_guard<std::mutex> guard(mutex_);
    return threads_;
  }
  std::function<void()> onExit;  // runs inside the exit, before waiters wake

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<int> statuses_;
  std::vector<std::thread::id> threads_;
};

inline std::string line(const std::string& message) { return "narup-capture: " + message; }

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/narup-capture-test-XXXXXX";
    dir = ::mkdtemp(tmpl);
    // The echo canceller appends its diagnostics to a log in HOME.
    ::setenv("HOME", dir.c_str(), 1);
    outPath = dir + "/rec.wav";
    // A laptop: a built-in microphone, and a Bluetooth headset that is the
    // system's default input.
    builtIn = CaptureDevice{"builtin-mic", "Built-in Mic", kTransportTypeBuiltIn};
    headset = CaptureDevice{"bt-headset", "Headset", 0x626C7565 /* 'blue' */};
    p.microphone->script.discovered = {headset, builtIn};
    p.microphone->script.all = {headset, builtIn};
    p.microphone->script.defaultInput = headset;
  }
  void TearDown() override {
    settle();
    cap.reset();
    p.platform.join();
    std::filesystem::remove_all(dir);
  }

  std::shared_ptr<Capturer> make(bool system, bool mic, std::optional<std::string> uid = {},
                                 bool echoCancel = false) {
    cap = Capturer::create(outPath, system, mic, std::move(uid), echoCancel, p.services(),
                           exits.function());
    return cap;
  }
  // Lets every completion started so far (and those they start) run.
  void settle() { p.platform.join(); }

  std::shared_ptr<scripted::ScriptedStream> stream() { return p.system->stream(); }

  // A mono track delivered in buffers of `chunk` frames, then waited for.
  template <typename Source>
  static void deliverTrack(Source& source, double rate, const std::vector<float>& track, size_t chunk) {
    for (size_t at = 0; at < track.size(); at += chunk) {
      std::vector<float> part(track.begin() + at, track.begin() + std::min(track.size(), at + chunk));
      ASSERT_TRUE(source.deliver(scripted::interleavedFloat(rate, 1, part)));
    }
    source.flush();
  }
  static void deliverSys(scripted::ScriptedStream& s, double rate, const std::vector<float>& track,
                         size_t chunk = 480) {
    deliverTrack(s, rate, track, chunk);
  }
  void deliverMic(double rate, const std::vector<float>& track, size_t chunk = 441) {
    deliverTrack(*p.microphone, rate, track, chunk);
  }
  static std::vector<float> tone(size_t n, double rate, double hz, float amplitude) {
    std::vector<float> out(n);
    for (size_t i = 0; i < n; ++i) {
      out[i] = amplitude * static_cast<float>(std::sin(2.0 * M_PI * hz * static_cast<double>(i) / rate));
    }
    return out;
  }

  std::string dir;
  std::string outPath;
  CaptureDevice builtIn;
  CaptureDevice headset;
  scripted::ScriptedPlatform p;
  ExitRecorder exits;
  std::shared_ptr<Capturer> cap;  // destroyed before the platform
};
