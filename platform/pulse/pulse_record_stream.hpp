#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/sample_buffer.hpp"
#include "platform/pulse/pulse_clock.hpp"
#include "platform/pulse/pulse_clock_aligner.hpp"
#include "platform/pulse/pulse_connection.hpp"

class SerialQueue;
struct pa_stream;

// What to record: a source of the sound server and the sample layout to ask
// for (the server converts when the source's own differs).
struct RecordTarget {
  std::string sourceName;
  int sampleFormat = 0;                  // a pa_sample_format_t value
  uint32_t rate = 0;                     // Hz
  uint8_t channels = 0;
  std::vector<int> channelPositions;     // pa_channel_position_t values; empty: the default map
};

// The stream format that buffers of a pa_sample_format_t come in, as the
// capture code reads it: float and signed-integer bits, the width, all
// interleaved. Formats the capture code cannot read are described as they are
// (24-bit integers say 24 bits), so that it reports them.
StreamFormat streamFormatOf(int sampleFormat, uint32_t rate, uint8_t channels);

// One libpulse record stream whose buffers go to a handler on a serial queue,
// one buffer per delivery, on the recording's clock: small fragments, holes
// as silence, a stretch without data as zeros before the buffer that ends it
// (WallClockAligner), and at the stop a last fill of zeros up to the stop.
//
// start() and stop() are called from threads other than the sound server's;
// the handler runs on the queue; `onEnded` runs once, on a thread of its own,
// when the server ends a stream that was running (server gone, source removed).
class PulseRecordStream {
 public:
  using BufferHandler = std::function<void(const SampleBuffer&)>;
  using EndHandler = std::function<void(const std::string& error)>;

  // About 20 ms per fragment: little is in flight when the recording stops.
  static constexpr uint32_t kFragmentMicros = 20'000;
  // Longest wait for the server to accept the stream.
  static constexpr int kStartTimeoutMs = 4000;

  PulseRecordStream(std::shared_ptr<PulseConnection> connection,
                    std::shared_ptr<RecordingClock> clock, RecordTarget target, SerialQueue& queue,
                    BufferHandler onBuffer, EndHandler onEnded);
  ~PulseRecordStream();
  PulseRecordStream(const PulseRecordStream&) = delete;
  PulseRecordStream& operator=(const PulseRecordStream&) = delete;

  // Connects the stream and waits (bounded) until it records. Starts the
  // recording's clock if no source has yet. Returns the error's description.
  std::optional<std::string> start();

  // Hands on what is still readable, disconnects, then queues the held
  // buffers and the fill up to now. Every buffer of this stream is queued on
  // the queue when it returns. Harmless when never started or already stopped.
  void stop();

  // The format of the buffers handed on.
  const StreamFormat& format() const { return format_; }

 private:
  static void onStateThunk(pa_stream* stream, void* self);
  static void onReadThunk(pa_stream* stream, size_t bytes, void* self);
  void onState();
  void readAvailable();
  void handOn(std::vector<std::byte> bytes);
  void release(const WallClockAligner::Release& r);
  void post(std::vector<std::byte> bytes);
  void detach();

  std::shared_ptr<PulseConnection> connection_;
  std::shared_ptr<RecordingClock> clock_;
  RecordTarget target_;
  StreamFormat format_;
  uint32_t frameBytes_ = 0;
  SerialQueue& queue_;
  std::shared_ptr<const BufferHandler> onBuffer_;
  EndHandler onEnded_;

  // Everything below is guarded by mutex_, always taken after the sound
  // server's loop lock (the callbacks run with that lock held and take
  // mutex_; start() and stop() take both in the same order, and never wait
  // for the loop while holding mutex_). The loop lock alone would do, but
  // it is taken inside libpulse, where ThreadSanitizer cannot see it.
  // Recursive: libpulse calls the state callback from inside some of the
  // calls made with it held (connecting the stream).
  std::recursive_mutex mutex_;
  pa_stream* stream_ = nullptr;
  bool ready_ = false;          // the stream reached the ready state once
  bool stopping_ = false;       // we are ending it ourselves
  bool endReported_ = false;    // onEnded has been called
  std::optional<WallClockAligner> aligner_;
  std::vector<std::vector<std::byte>> held_;  // delivered, waiting for the aligner
  std::vector<std::byte> carry_;              // a partial frame from the last read
};
