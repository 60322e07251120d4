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
  Shared& shared() { return shared_; }
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

// Sinks and microphones can come and go while a capturer runs: change()
// edits them under the lock and then sends the change notice, as a server
// would, on a thread of its own. Each system or microphone source opened
// after the first is a new one ("system 2", "mic 2", ...).
class Server final : public SoundServer, public CaptureDevices {
 public:
  Shared shared;
  std::shared_ptr<Source> system = std::make_shared<Source>("system", shared);
  std::shared_ptr<Source> mic = std::make_shared<Source>("mic", shared);
  std::optional<std::string> systemError;
  bool noDefaultSink = false;
  std::optional<std::string> micError;
  // Guarded by shared.mutex once a capturer runs:
  std::vector<CaptureDevice> inputs;
  std::optional<CaptureDevice> defaultInput;
  std::vector<SinkIdentity> sinks{{"speakers", "Speakers"}, {"headset", "Headset"}};
  std::string defaultSinkName = "speakers";
  std::vector<std::shared_ptr<Source>> systems{system};  // every one opened, in order
  std::vector<std::shared_ptr<Source>> mics{mic};

  ~Server() override { shared.join(); }

  // Edits the devices, then notices the change.
  template <typename Edit> void change(Edit edit) {
    std::function<void()> notice;
    {
      std::lock_guard<std::mutex> guard(shared.mutex);
      edit();
      notice = onChange_;
    }
    if (notice) shared.later(notice);
  }
  // The newest system source or microphone.
  Source& lastSystem() { return newest(systems); }
  Source& lastMic() { return newest(mics); }

  SystemOpening openSystem(const std::string& sinkName) override {
    shared.call(sinkName.empty() ? "open system" : "open system " + sinkName);
    if (systemError) return {nullptr, systemError, {}};
    std::lock_guard<std::mutex> guard(shared.mutex);
    const std::string wanted = sinkName.empty() && !noDefaultSink ? defaultSinkName : sinkName;
    for (const SinkIdentity& sink : sinks) {
      if (sink.name == wanted) return {fresh(systems, "system", systemOpenings_), std::nullopt, sink};
    }
    return {};
  }
  std::optional<SinkIdentity> defaultSink() override {
    std::lock_guard<std::mutex> guard(shared.mutex);
    for (const SinkIdentity& sink : sinks) {
      if (sink.name == defaultSinkName) return sink;
    }
    return std::nullopt;
  }
  std::variant<std::shared_ptr<RecordSource>, std::string> openMicrophone(
      const std::string& sourceName, uint32_t rate) override {
    shared.call("open mic " + sourceName + (rate != 0 ? " at " + std::to_string(rate) : ""));
    if (micError) return *micError;
    std::lock_guard<std::mutex> guard(shared.mutex);
    return fresh(mics, "mic", micOpenings_);
  }
  CaptureDevices& devices() override { return *this; }
  void watchDevices(std::function<void()> onChange) override {
    std::lock_guard<std::mutex> guard(shared.mutex);
    onChange_ = std::move(onChange);
  }

  std::vector<CaptureDevice> discoverDevices() override {
    std::lock_guard<std::mutex> guard(shared.mutex);
    return inputs;
  }
  std::vector<CaptureDevice> allDevices() override { return discoverDevices(); }
  std::optional<CaptureDevice> defaultDevice() override {
    std::lock_guard<std::mutex> guard(shared.mutex);
    return defaultInput;
  }
  std::optional<CaptureDevice> deviceWithUniqueID(const std::string& uniqueID) override {
    std::lock_guard<std::mutex> guard(shared.mutex);
    for (const CaptureDevice& d : inputs)
      if (d.uniqueID == uniqueID) return d;
    return std::nullopt;
  }

 private:
  Source& newest(std::vector<std::shared_ptr<Source>>& made) {
    std::lock_guard<std::mutex> guard(shared.mutex);
    return *made.back();
  }
  // The first opening gives the first source; every later one a new source. Under shared.mutex.
  static std::shared_ptr<Source> fresh(std::vector<std::shared_ptr<Source>>& made,
                                       const std::string& kind, int& openings) {
    if (openings++ == 0) return made.front();
    made.push_back(std::make_shared<Source>(kind + " " + std::to_string(made.size() + 1),
                                            made.front()->shared()));
    return made.back();
  }

  std::function<void()> onChange_;  // guarded by shared.mutex
  int systemOpenings_ = 0;           // guarded by shared.mutex
  int micOpenings_ = 0;              // guarded by shared.mutex
};

}  // namespace scripted
