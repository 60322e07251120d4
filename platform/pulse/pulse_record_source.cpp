#include "platform/pulse/pulse_record_source.hpp"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/sample.h>
#include <pulse/channelmap.h>
#include <pulse/stream.h>

#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/dispatch/serial_queue.hpp"
#include "platform/pulse/pulse_record_handoff.hpp"

namespace {

// The source's own channel layout when it is given and valid, else the
// default one for that many channels, else auxiliary channels (the capture
// code averages them all anyway).
void channelMapOf(const PulseChannelLayout& layout, pa_channel_map& map) {
  if (layout.channelPositions.size() == layout.channels) {
    pa_channel_map_init(&map);
    map.channels = layout.channels;
    for (size_t i = 0; i < layout.channelPositions.size(); ++i) {
      map.map[i] = static_cast<pa_channel_position_t>(layout.channelPositions[i]);
    }
    if (pa_channel_map_valid(&map)) return;
  }
  if (pa_channel_map_init_auto(&map, layout.channels, PA_CHANNEL_MAP_DEFAULT) != nullptr) return;
  pa_channel_map_init_extend(&map, layout.channels, PA_CHANNEL_MAP_AUX);
}

// A libpulse timestamp (the real-time clock) on the monotonic clock.
int64_t monotonicOf(const struct timeval& at) {
  const auto real = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
  const int64_t atMicros = static_cast<int64_t>(at.tv_sec) * 1'000'000 + at.tv_usec;
  return RecordingClock::nowMicros() - (real - atMicros);
}

pa_sample_spec floatSpecOf(const PulseChannelLayout& layout) {
  return {PA_SAMPLE_FLOAT32NE, layout.rate, layout.channels};
}

}  // namespace

PulseRecordSource::PulseRecordSource(std::shared_ptr<PulseConnection> connection,
                                     std::shared_ptr<RecordingClock> clock, RecordTarget target)
    : connection_(std::move(connection)),
      clock_(std::move(clock)),
      target_(std::move(target)),
      format_{static_cast<double>(target_.layout.rate), kFormatFlagIsFloat, target_.layout.channels, 32} {
  const pa_sample_spec ss = floatSpecOf(target_.layout);
  frameBytes_ = pa_sample_spec_valid(&ss) ? static_cast<uint32_t>(pa_frame_size(&ss)) : 0;
}

PulseRecordSource::~PulseRecordSource() {
  PulseConnection::Lock lock(*connection_);
  loop_handoff::Scope handoff;
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  stopping_ = true;
  detach();
}

void PulseRecordSource::onStateThunk(pa_stream*, void* self) {
  loop_handoff::Scope handoff;
  auto* me = static_cast<PulseRecordSource*>(self);
  std::lock_guard<std::recursive_mutex> guard(me->mutex_);
  me->onState();
}

void PulseRecordSource::onReadThunk(pa_stream*, size_t, void* self) {
  loop_handoff::Scope handoff;
  auto* me = static_cast<PulseRecordSource*>(self);
  std::lock_guard<std::recursive_mutex> guard(me->mutex_);
  me->readAvailable();
}

void PulseRecordSource::onTimingThunk(pa_stream*, int success, void* self) {
  loop_handoff::Scope handoff;
  auto* me = static_cast<PulseRecordSource*>(self);
  std::lock_guard<std::recursive_mutex> guard(me->mutex_);
  me->onTiming(success != 0);
}

std::optional<std::string> PulseRecordSource::start(SerialQueue& queue, BufferHandler onBuffer,
                                                    StoppedHandler onStopped) {
  const pa_sample_spec ss = floatSpecOf(target_.layout);
  if (frameBytes_ == 0) return std::string(pa_strerror(PA_ERR_INVALID));

  PulseConnection::Lock lock(*connection_);
  loop_handoff::Scope handoff;
  std::unique_lock<std::recursive_mutex> guard(mutex_);
  if (stream_ != nullptr || stopping_) return std::string(pa_strerror(PA_ERR_BADSTATE));
  queue_ = &queue;
  onBuffer_ = std::make_shared<const BufferHandler>(std::move(onBuffer));
  onStopped_ = std::move(onStopped);

  pa_channel_map map;
  channelMapOf(target_.layout, map);
  stream_ = pa_stream_new(connection_->context(), "narup-capture", &ss, &map);
  if (stream_ == nullptr) return connection_->lastError();
  pa_stream_set_state_callback(stream_, onStateThunk, this);
  pa_stream_set_read_callback(stream_, onReadThunk, this);

  pa_buffer_attr attr;
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = static_cast<uint32_t>(-1);
  attr.prebuf = static_cast<uint32_t>(-1);
  attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kFragmentMicros, &ss));
  // ADJUST_LATENCY: the source runs with about one fragment of latency, so
  // the data of a moment arrives close to that moment. DONT_MOVE: a removed
  // source ends the stream (and is reported) rather than silently switching.
  const auto flags =
      static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);

  const int64_t startMicros = clock_->startAt(RecordingClock::nowMicros());
  aligner_.emplace(startMicros, static_cast<double>(target_.layout.rate));
  timeline_.emplace(static_cast<double>(target_.layout.rate));

  if (pa_stream_connect_record(stream_, target_.sourceName.c_str(), &attr, flags) < 0) {
    std::string error = connection_->lastError();
    detach();
    return error;
  }
  pa_stream* s = stream_;
  const auto deadline = PulseConnection::Clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  // The wait lets go of the loop's lock, and the callbacks take mutex_: let
  // go of it too. A stop() may come in meanwhile and release the stream:
  // look at it only while it is still ours.
  guard.unlock();
  connection_->waitUntil(
      [this, s] {
        loop_handoff::mark();
        std::lock_guard<std::recursive_mutex> g(mutex_);
        return stream_ != s || pa_stream_get_state(s) != PA_STREAM_CREATING;
      },
      deadline);
  loop_handoff::mark();
  guard.lock();
  if (stream_ != s) return std::string(pa_strerror(PA_ERR_BADSTATE));
  const pa_stream_state_t state = pa_stream_get_state(s);
  if (state == PA_STREAM_READY) return std::nullopt;

  std::string error = state == PA_STREAM_CREATING ? std::string(pa_strerror(PA_ERR_TIMEOUT))
                                                  : connection_->lastError();
  detach();
  return error;
}

void PulseRecordSource::onState() {
  connection_->signal();
  if (stream_ == nullptr) return;
  const pa_stream_state_t state = pa_stream_get_state(stream_);
  if (state == PA_STREAM_READY) {
    ready_ = true;
    return;
  }
  if (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED) return;
  if (!ready_ || stopping_ || endReported_) return;
  endReported_ = true;
  std::string error = connection_->lastError();
  if (onStopped_) {
    // Off the sound server's thread: whatever the handler does, it must not
    // hold up (or wait on) the loop.
    std::thread([handler = onStopped_, error = std::move(error)] { handler(error); }).detach();
  }
}

void PulseRecordSource::readAvailable() {
  if (stream_ == nullptr || frameBytes_ == 0) return;
  std::vector<std::byte> bytes = std::move(carry_);
  carry_.clear();
  for (;;) {
    const size_t readable = pa_stream_readable_size(stream_);
    if (readable == 0 || readable == static_cast<size_t>(-1)) break;
    const void* data = nullptr;
    size_t n = 0;
    if (pa_stream_peek(stream_, &data, &n) < 0 || n == 0) break;
    if (data == nullptr) {
      bytes.resize(bytes.size() + n, std::byte{0});  // a hole: silence of its length
    } else {
      const auto* p = static_cast<const std::byte*>(data);
      bytes.insert(bytes.end(), p, p + n);
    }
    pa_stream_drop(stream_);
  }
  const size_t whole = bytes.size() - bytes.size() % frameBytes_;
  if (whole < bytes.size()) {
    carry_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(whole), bytes.end());
    bytes.resize(whole);
  }
  if (bytes.empty()) return;
  takenFrames_ += static_cast<int64_t>(bytes.size() / frameBytes_);
  pending_.push_back(Read{std::move(bytes), RecordingClock::nowMicros()});
  if (!askTiming()) placePending();
}

bool PulseRecordSource::askTiming() {
  if (timingAsked_ != nullptr) return true;  // the answer on its way places these too
  if (stream_ == nullptr || stopping_) return false;
  timingAsked_ = pa_stream_update_timing_info(stream_, onTimingThunk, this);
  return timingAsked_ != nullptr;
}

void PulseRecordSource::onTiming(bool success) {
  if (timingAsked_ != nullptr) {
    pa_operation_unref(timingAsked_);
    timingAsked_ = nullptr;
  }
  const pa_timing_info* info =
      success && stream_ != nullptr ? pa_stream_get_timing_info(stream_) : nullptr;
  if (info != nullptr && timeline_ && !info->write_index_corrupt && !info->read_index_corrupt) {
    timeline_->serverReport(monotonicOf(info->timestamp), info->write_index / frameBytes_,
                            info->read_index / frameBytes_,
                            static_cast<int64_t>(info->source_usec), takenFrames_,
                            queueFrames());
  }
  // The reads still pending came after whatever the server skipped.
  if (timeline_) handOnLoss(timeline_->takeLongSkip());
  placePending();
}

void PulseRecordSource::handOnLoss(int64_t frames) {
  // What the server skipped follows everything placed so far, at the
  // source's pace: silence of exactly its length.
  if (frames <= 0 || lastCapturedMicros_ < 0) return;
  const double rate = static_cast<double>(target_.layout.rate);
  const int64_t captured =
      lastCapturedMicros_ + static_cast<int64_t>(std::llround(static_cast<double>(frames) * 1e6 / rate));
  handOn(std::vector<std::byte>(static_cast<size_t>(frames) * frameBytes_, std::byte{0}), captured);
}

int64_t PulseRecordSource::queueFrames() const {
  const pa_buffer_attr* attr = stream_ != nullptr ? pa_stream_get_buffer_attr(stream_) : nullptr;
  if (attr == nullptr || attr->maxlength == static_cast<uint32_t>(-1)) return 0;
  return static_cast<int64_t>(attr->maxlength / frameBytes_);
}

void PulseRecordSource::placePending() {
  for (Read& read : pending_) {
    const auto frames = static_cast<int64_t>(read.bytes.size() / frameBytes_);
    if (!timeline_) {
      handOn(std::move(read.bytes), read.arrivalMicros);
      continue;
    }
    // What a full queue let in at an unknown time is never placed: the
    // track keeps silence there.
    timeline_->place(frames, read.arrivalMicros, [&](int64_t offset, int64_t count, int64_t captured) {
      if (count == frames) return handOn(std::move(read.bytes), captured);
      const auto at = [&](int64_t f) {
        return read.bytes.begin() + static_cast<std::ptrdiff_t>(f * frameBytes_);
      };
      handOn(std::vector<std::byte>(at(offset), at(offset + count)), captured);
    });
  }
  pending_.clear();
}

void PulseRecordSource::handOn(std::vector<std::byte> bytes, int64_t capturedMicros) {
  if (!aligner_) return;
  const auto frames = static_cast<int64_t>(bytes.size() / frameBytes_);
  lastCapturedMicros_ = capturedMicros;
  held_.push_back(std::move(bytes));
  if (std::optional<WallClockAligner::Release> r = aligner_->add(frames, capturedMicros)) {
    release(*r);
  }
}

void PulseRecordSource::release(const WallClockAligner::Release& r) {
  const size_t count = std::min(r.count, held_.size());
  auto drop = static_cast<size_t>(r.drop) * frameBytes_;
  for (size_t i = 0; i < count; ++i) {
    std::vector<std::byte> bytes = std::move(held_[i]);
    if (drop > 0) {
      const size_t cut = std::min(drop, bytes.size());
      bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
      drop -= cut;
    }
    if (i == 0 && r.zeros > 0) {
      std::vector<std::byte> padded(static_cast<size_t>(r.zeros) * frameBytes_ + bytes.size(),
                                    std::byte{0});
      std::memcpy(padded.data() + static_cast<size_t>(r.zeros) * frameBytes_, bytes.data(),
                  bytes.size());
      bytes = std::move(padded);
    }
    post(std::move(bytes));
  }
  held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(count));
}

void PulseRecordSource::post(std::vector<std::byte> bytes) {
  if (bytes.empty()) return;
  auto buffer = std::make_shared<const SampleBuffer>(SampleBuffer{format_, std::move(bytes)});
  queue_->async([handler = onBuffer_, buffer] { (*handler)(*buffer); });
}

void PulseRecordSource::stop(std::function<void()> completion) {
  // The finish reads the tracks in the completion: it runs only once the
  // queue has delivered every buffer of this source, and off the queue.
  auto finish = [completion = std::move(completion)] { std::thread(completion).detach(); };
  PulseConnection::Lock lock(*connection_);
  loop_handoff::Scope handoff;
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (!stopping_) {
    if (stream_ != nullptr && pa_stream_get_state(stream_) == PA_STREAM_READY) readAvailable();
    stopping_ = true;
    detach();
    placePending();
    if (ready_ && aligner_) {  // never recorded: nothing to fill
      release(aligner_->flush());
      const int64_t fill = aligner_->fillUntil(RecordingClock::nowMicros());
      if (fill > 0) {
        post(std::vector<std::byte>(static_cast<size_t>(fill) * frameBytes_, std::byte{0}));
      }
    }
  }
  if (queue_ != nullptr) {
    queue_->async(std::move(finish));
  } else {
    finish();
  }
}

void PulseRecordSource::detach() {
  if (timingAsked_ != nullptr) {  // its answer must not find us gone
    pa_operation_cancel(timingAsked_);
    pa_operation_unref(timingAsked_);
    timingAsked_ = nullptr;
  }
  if (stream_ == nullptr) return;
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  const pa_stream_state_t state = pa_stream_get_state(stream_);
  if (state == PA_STREAM_READY || state == PA_STREAM_CREATING) pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
  stream_ = nullptr;
}
