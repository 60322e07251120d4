#pragma once

// What the capturer tests share: a scripted sound server, a recorded process
// exit, a temporary folder as output place and HOME, and buffer helpers.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>

#include "capture/capturer.hpp"
#include "scripted_sound_server.hpp"
#include "support/stderr_capture.hpp"

inline std::string line(const std::string& message) { return "narup-capture: " + message; }

// A buffer of interleaved samples (float, or int16_t).
template <typename T>
SampleBuffer bufferOf(double rate, uint32_t channels, const std::vector<T>& values) {
  constexpr uint32_t flags = std::is_same_v<T, float> ? kFormatFlagIsFloat : kFormatFlagIsSignedInteger;
  SampleBuffer b{{rate, flags, channels, 8 * sizeof(T)}, std::vector<std::byte>(values.size() * sizeof(T))};
  if (!values.empty()) std::memcpy(b.bytes.data(), values.data(), b.bytes.size());
  return b;
}

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/narup-capture-test-XXXXXX";
    dir = ::mkdtemp(tmpl);
    ::setenv("HOME", dir.c_str(), 1);  // the canceller's log goes there
    outPath = dir + "/rec.wav";
    // A laptop: a Bluetooth headset as the default input, and a built-in microphone.
    server->inputs = {{"bt-headset", "Headset", 0x626C7565 /* 'blue' */},
                      {"builtin-mic", "Built-in Mic", kTransportTypeBuiltIn}};
    server->defaultInput = server->inputs[0];
  }
  void TearDown() override {
    server->shared.join();
    cap.reset();
    std::filesystem::remove_all(dir);
  }

  // A fresh capturer; the spool a previous one of the test left unfinished goes.
  void make(bool system, bool mic, std::optional<std::string> uid = {}) {
    std::filesystem::remove_all(outPath + ".spool");
    cap = Capturer::create(outPath, system, mic, std::move(uid), false, server, [this](int status) {
      std::lock_guard<std::mutex> guard(mutex);
      exits.push_back({status, std::this_thread::get_id()});
      exited.notify_all();
    });
  }
  // Starts the capturer and lets the system source's opening complete.
  void startAndSettle() {
    cap->start();
    settle();
  }
  // Lets every notice sent so far, and every switch it calls for, complete.
  void settle() {
    server->shared.join();
    cap->waitForDeviceFollowing();
    server->shared.join();
  }
  // Waits (bounded) for a line that comes after a pause of the capturer's
  // own: the end of a system source is reported once the server has had a
  // moment to name another default.
  static void waitForLine(StderrCapture& err, const std::string& text) {
    for (int i = 0; i < 100 && err.text().find(text) == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  bool waitForExit() {
    std::unique_lock<std::mutex> lock(mutex);
    return exited.wait_for(lock, std::chrono::seconds(20), [&] { return !exits.empty(); });
  }
  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> guard(server->shared.mutex);
    return server->shared.calls;
  }
  static void deliver(scripted::Source& source, size_t frames, float value) {
    source.deliver(bufferOf(48000, 1, std::vector<float>(frames, value)));
    source.flush();
  }

  std::string dir, outPath;
  std::shared_ptr<scripted::Server> server = std::make_shared<scripted::Server>();
  std::mutex mutex;
  std::condition_variable exited;
  std::vector<std::pair<int, std::thread::id>> exits;  // guarded by mutex
  std::shared_ptr<Capturer> cap;                       // goes before the server
};
