#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

// Keeps one source's track on the recording's clock.
//
// A sound server's record stream can deliver less audio than the time that
// passes: nothing for the first moments of a new stream, nothing (or too
// little) while a sink idles or is suspended, explicit holes. The aligner
// compares the frames a source has delivered with the frames the time since
// the recording's start instant calls for, and turns a lasting deficit into
// zeros placed before the buffer that ends it, so that every sample sits at
// the position its arrival time gives.
//
// Ordinary delivery jitter (a fragment or two late, then caught up) inserts
// nothing, and neither does drift: a device clock a little slow or fast
// against the wall clock (tens of ppm) builds up a deficit or a surplus so
// slowly that the aligner follows it as the source's own pace (at most
// kDriftPpm of the time that passes), and only a deficit beyond that pace is
// a gap. The echo canceller's delay track follows the drift. To tell a real gap from a late delivery the aligner holds the
// buffers that follow a suspected gap until a short window of them has come
// in, and inserts the smallest deficit seen over that window: a late burst
// catches up within the window and leaves nothing to insert, a real gap stays,
// and the least late delivery of the window places the data.
// The very first buffers of a stream are always treated as ending a gap, so
// the start-up latency becomes leading zeros; and when they hold more than
// the time since the start (a source that hands over what it had before),
// the surplus is dropped from their front, so the track starts at the start.
// Later a surplus is kept: nothing is ever cut from the middle of a track.
//
// Not thread-safe; one source's delivery path owns it.
class WallClockAligner {
 public:
  // A deficit above this (after the first window) is a gap, not jitter.
  static constexpr int64_t kJitterMicros = 40'000;
  // A suspected gap is judged over the deliveries of at least this long a
  // time: a late burst comes in pieces within a few milliseconds, a resumed
  // stream keeps coming at its pace. Short, so that a source that delivers
  // steadily less than real time is topped up in small steps.
  static constexpr int64_t kWindowMicros = 60'000;
  // The start is judged longer: the least late of many deliveries places the
  // whole track, to about a millisecond.
  static constexpr int64_t kStartWindowMicros = 200'000;
  // ...and either over at least this many deliveries.
  static constexpr size_t kWindowDeliveries = 3;
  // The fastest drift followed: ten times what a device clock is allowed
  // (about 100 ppm), a thousandth of what an idle sink's monitor loses.
  static constexpr double kDriftPpm = 1000.0;

  // Buffers to hand on now: the oldest `count` held buffers, in order, with
  // `zeros` frames of silence placed before the first of them, or (only at
  // the start) their first `drop` frames left out.
  struct Release {
    int64_t zeros = 0;
    size_t count = 0;
    int64_t drop = 0;
  };

  // `startMicros`: the recording's start instant; `rate`: frames per second.
  WallClockAligner(int64_t startMicros, double rate);

  // One delivered buffer of `frames` frames whose last frame arrived at
  // `arrivalMicros`. The buffer joins the held ones; the result says which of
  // them to hand on now (nothing while a gap is being judged).
  std::optional<Release> add(int64_t frames, int64_t arrivalMicros);

  // Hands on every held buffer (the stream is stopping).
  Release flush();

  // Frames of silence that bring the track up to `stopMicros`, after flush();
  // counted as placed.
  int64_t fillUntil(int64_t stopMicros);

  // Frames handed on or held so far, inserted zeros included.
  int64_t placedFrames() const { return placed_; }
  size_t heldCount() const { return heldCount_; }

 private:
  int64_t framesAt(int64_t micros) const;
  int64_t framesIn(int64_t micros) const;
  Release release();
  void followDrift(int64_t deficit, int64_t arrivalMicros);

  int64_t startMicros_;
  double rate_;
  int64_t placed_ = 0;         // frames handed on or held, zeros included
  bool started_ = false;       // the first window has been released
  size_t heldCount_ = 0;       // buffers held while a gap is judged
  int64_t heldFrames_ = 0;     // their frames
  int64_t windowStart_ = 0;    // arrival of the first of them
  int64_t minExcess_ = 0;      // smallest deficit beyond the drift over them
  double drift_ = 0.0;         // the deficit that is the source's own pace, frames
  int64_t lastArrival_ = 0;    // arrival of the last buffer handed on
};
