#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/record_source.hpp"
#include "platform/pulse/pulse_capture_timeline.hpp"
#include "platform/pulse/pulse_clock.hpp"
#include "platform/pulse/pulse_clock_aligner.hpp"
#include "platform/pulse/pulse_connection.hpp"
#include "platform/pulse/pulse_server_queries.hpp"

struct pa_stream;
struct pa_operation;

// What to record: a source of the sound server and the rate and channels to
// ask for. An empty channel map asks for the default one.
struct RecordTarget {
  std::string sourceName;
  PulseChannelLayout layout;
};

// The one libpulse record source, for the monitor of the default sink and for
// a microphone alike. It always asks for 32-bit float, so that a source in any
// sample format records (s24le, s32le, u8...: the server converts); its
// buffers go to the handler on the queue, on the
// recording's clock: small fragments, holes as silence, a stretch without
// data as zeros before the buffer that ends it (WallClockAligner), and at
// the stop a last fill of zeros up to the stop. Each read asks the server
// for its timing and waits for the answer before it places what it read,
// by the time it was captured (CaptureTimeline) rather than by when it came:
// a backlog kept while the process was stopped lands where it belongs, and
// what the server lost meanwhile becomes silence of its length. A source
// that the server ends while it runs (server gone, source removed) is
// reported once.
class PulseRecordSource final : public RecordSource {
 public:
  // About 20 ms per fragment: little is in flight when the recording stops.
  static constexpr uint32_t kFragmentMicros = 20'000;
  // Longest wait for the server to accept the stream.
  static constexpr int kStartTimeoutMs = 4000;

  PulseRecordSource(std::shared_ptr<PulseConnection> connection,
                    std::shared_ptr<RecordingClock> clock, RecordTarget target);
  ~PulseRecordSource() override;
  PulseRecordSource(const PulseRecordSource&) = delete;
  PulseRecordSource& operator=(const PulseRecordSource&) = delete;

  // Connects the stream and waits (bounded) until it records. Starts the
  // recording's clock if no source has yet. Not from the loop's thread.
  std::optional<std::string> start(SerialQueue& queue, BufferHandler onBuffer,
                                   StoppedHandler onStopped) override;

  // Hands on what is still readable, disconnects, queues the held buffers and
  // the fill up to now, and after them the completion (which then runs on a
  // thread of its own). Not from the loop's thread.
  void stop(std::function<void()> completion) override;

 private:
  static void onStateThunk(pa_stream* stream, void* self);
  static void onReadThunk(pa_stream* stream, size_t bytes, void* self);
  static void onTimingThunk(pa_stream* stream, int success, void* self);
  void onState();
  void readAvailable();
  bool askTiming();
  void onTiming(bool success);
  int64_t queueFrames() const;  // the server's queue for the stream, 0 if not known
  void placePending();
  void handOn(std::vector<std::byte> bytes, int64_t capturedMicros);
  void handOnLoss(int64_t frames);  // a long skip of the server's, as silence
  void release(const WallClockAligner::Release& r);
  void post(std::vector<std::byte> bytes);
  void detach();

  const std::shared_ptr<PulseConnection> connection_;
  const std::shared_ptr<RecordingClock> clock_;
  const RecordTarget target_;
  const StreamFormat format_;  // what the buffers handed on hold
  uint32_t frameBytes_ = 0;    // 0: a layout the server cannot take

  // Everything below is guarded by mutex_, always taken after the sound
  // server's loop lock (the callbacks run with that lock held and take
  // mutex_; start() and stop() take both in the same order, and never wait
  // for the loop while holding mutex_). The loop lock alone would do, but
  // it is taken inside libpulse, where ThreadSanitizer cannot see it.
  // Recursive: libpulse calls the state callback from inside some of the
  // calls made with it held (connecting the stream).
  std::recursive_mutex mutex_;
  SerialQueue* queue_ = nullptr;  // set by start(); outlives the source
  std::shared_ptr<const BufferHandler> onBuffer_;
  StoppedHandler onStopped_;
  pa_stream* stream_ = nullptr;
  bool ready_ = false;          // the stream reached the ready state once
  bool stopping_ = false;       // we are ending it ourselves
  bool endReported_ = false;    // onStopped has been called
  std::optional<WallClockAligner> aligner_;
  std::optional<CaptureTimeline> timeline_;
  struct Read {
    std::vector<std::byte> bytes;
    int64_t arrivalMicros;
  };
  std::vector<Read> pending_;       // read, waiting for the server's timing
  pa_operation* timingAsked_ = nullptr;  // the timing request in flight
  int64_t takenFrames_ = 0;         // frames read so far
  int64_t lastCapturedMicros_ = -1;  // when the last frame handed on was captured
  std::vector<std::vector<std::byte>> held_;  // placed, waiting for the aligner
  std::vector<std::byte> carry_;              // a partial frame from the last read
};
