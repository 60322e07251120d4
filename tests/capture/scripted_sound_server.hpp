#pragma once

// A scripted sound server: each step can be told to fail, completions run on
// threads of their own (as a server's would), and buffers reach the
// capturer on the queue it hands over, in order.

#include <mutex>
#include <thread>

#include "capture/sound_server.hpp"
#include "platform/dispatch/serial_queue.hpp"
#include "support/queue_drain.hpp"

namespace scripted {

// What was asked, in order, and the threads the completions run on.
struct Shared {
  std::mutex mutex;
  std::vector<std::string> calls;    // guarded by mutex
  std::vector<std::thread> threads;  // guarded by mutex
  void call(std::string what) {
    std::lock_guard<std::mutex> guard(mutex);
    calls.push_back(std::move(what));
  }
  void later(std::function<void()> work) {
    std::lock_guard<std::mutex> guard(mutex);
    threads.emplace_back(std::move(work));
  }
  // Also the threads that the joined ones started. Called on one of them
  // (the last owner of a server can be a completion), that one is left to end
  // by itself.
  void join() {
    for (std::vector<std::thread> running;; running.clear()) {
      std::unique_lock<std::mutex> guard(mutex);
      if (threads.empty()) return;
      running.swap(threads);
      guard.unlock();
      for (std::thread& t : running) {
        if (t.get_id() == std::this_thread::get_id())
          t.detach();
        else
          t.join();
      }
    }
  }
};

class Source final : public RecordSource {
 public:
  Source(std::string name, Shared& shared) : name_(std::move(name)), shared_(shared) {}
  std::optional<std::string> startError;
  bool holdStop = false;  // the stop's completion waits for completeStop()

  std::optional<std::string> start(SerialQueue& queue, BufferHandler onBuffer,
                                   StoppedHandler onStopped) override {
    shared_.call("start " + name_);
    queue_ = &queue;
    onBuffer_ = std::move(onBuffer);
    onStopped_ = std::move(onStopped);
    return startError;
  }
  void stop(std::function<void()> completion) override {
    shared_.call("stop " + name_);
    held_ = std::move(completion);
    if (!holdStop) completeStop();
  }
  // After every buffer queued so far.
  void completeStop() {
    if (queue_ == nullptr) return shared_.later(held_);
    queue_->async([this] { shared_.later(held_); });
  }

  void deliver(SampleBuffer buffer) {
    queue_->async([this, buffer = std::move(buffer)] { onBuffer_(buffer); });
  }
  void flush() { drain(*queue_); }
  void stopOnItsOwn(const std::string& reason) {
    shared_.later([this, reason] { onStopped_(reason); });
  }

 private:
  const std::string name_;
  Shared& shared_;
  SerialQueue* queue_ = nullptr;
  BufferHandler onBuffer_;
  StoppedHandler onStopped_;
  std::function<void()> held_;
};

class Server final : public SoundServer, public CaptureDevices {
 public:
  Shared shared;
  std::shared_ptr<Source> system = std::make_shared<Source>("system", shared);
  std::shared_ptr<Source> mic = std::make_shared<Source>("mic", shared);
  std::optional<std::string> systemError;
  bool noDefaultSink = false;
  std::optional<std::string> micError;
  std::vector<CaptureDevice> inputs;
  std::optional<CaptureDevice> defaultInput;

  ~Server() override { shared.join(); }

  void openSystem(std::function<void(SystemOpening)> completion) override {
    shared.call("open system");
    SystemOpening opening{noDefaultSink || systemError ? nullptr : system, systemError};
    shared.later([completion, opening] { completion(opening); });
  }
  std::variant<std::shared_ptr<RecordSource>, std::string> openMicrophone(
      const std::string& sourceName) override {
    shared.call("open mic " + sourceName);
    if (micError) return *micError;
    return mic;
  }
  CaptureDevices& devices() override { return *this; }

  std::vector<CaptureDevice> discoverDevices() override { return inputs; }
  std::vector<CaptureDevice> allDevices() override { return inputs; }
  std::optional<CaptureDevice> defaultDevice() override { return defaultInput; }
  std::optional<CaptureDevice> deviceWithUniqueID(const std::string& uniqueID) override {
    for (const CaptureDevice& d : inputs)
      if (d.uniqueID == uniqueID) return d;
    return std::nullopt;
  }
};

}  // namespace scripted
