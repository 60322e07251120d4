#pragma once

#include <cstdint>
#include <deque>

// When a record stream's data was captured, from the sound server's own
// account of its stream, for the data that arrives long after it: a backlog
// the server kept while this process was stopped (Ctrl-Z, SIGSTOP) comes in
// one burst when it resumes, and its arrival says nothing about its time.
//
// The server reports, when asked, how many frames it has written into the
// stream in all (its write index), when, and how long ago the newest of them
// was captured; and where its read index stands. A frame at stream position
// x after a report that had written w frames at t was captured at the
// earliest at t + (x - w) / rate: the server writes at the source's pace, and
// a stretch it lost (nothing written while its queue was full, or a device
// that delivered too little) only makes the true time later. So a kept
// backlog lands right after what came before it, contiguously, and the first
// frame written after a loss shows the loss where it happened, at the write
// index of the report taken when the server could write again. A server
// that skips a lost stretch by moving its read index (PipeWire) reports a
// read index ahead of the frames we took: the skip counts in the stream
// position of what follows. A stretch lost shows as a capture time ahead of
// the frames placed, which WallClockAligner turns into silence once it lasts
// (PipeWire's read index runs a little ahead now and then: a short skip
// alone is not trusted).
//
// A report that finds a backlog waiting (the process was stopped) while
// the server's queue was not full says that nothing was lost: the server
// only loses what no longer fits, and a stretch it skips moves its write
// index too. If it still puts the newest frame a little later than the
// frames before it place it, the difference is latency the server does not
// report (PipeWire holds back a few tens of milliseconds more after a long
// stop), and that report, and every one after it, is taken back by it. A
// server whose queue filled (PulseAudio stops writing) did lose, and so did
// one whose shortfall is longer than any latency (the queue looks less
// than full once the first reads after the stop have drained it): the
// shortfall stays where that report puts it. A server that has written more
// than its queue holds went on writing over it at the source's pace
// (PipeWire, which then skips its read index on): whatever it puts later
// than that is latency it leaves out, as for a queue that did not fill.
//
// A full queue may still have taken in a piece that fitted the room left
// (PulseAudio writes what fits, in the source's blocks): its true time lies
// anywhere in the stop, and nothing the server reports says where. The last
// block's worth before such a report's write index is doubtful, and the
// record source leaves it out: it becomes part of the silence of the loss
// instead of landing seconds early against the backlog it follows.
//
// The estimate is also never later than the arrival. Not thread-safe.
class CaptureTimeline {
 public:
  explicit CaptureTimeline(double rate);

  // A report of the server's at `atMicros` (our monotonic clock): it had
  // written `writtenFrames` in all, the newest captured `sourceLatencyMicros`
  // before; its read index stood at `readFrames` while we had taken
  // `takenFrames` (the frames we read, handed on or not); its queue holds
  // at most `queueFrames` (0: not known).
  void serverReport(int64_t atMicros, int64_t writtenFrames, int64_t readFrames,
                    int64_t sourceLatencyMicros, int64_t takenFrames, int64_t queueFrames);

  // A backlog at least this long in a report: the process had stopped.
  static constexpr int64_t kBacklogMicros = 200'000;
  // A backlog within this much of the queue's size: the queue had filled.
  static constexpr int64_t kQueueFullMicros = 200'000;
  // The most latency a server leaves out of its reports after a stop
  // (PipeWire: a few tens of milliseconds, hundreds on a busy machine);
  // beyond it, a shortfall is a loss.
  static constexpr int64_t kUnreportedMaxMicros = 1'000'000;

  // Frames the server skipped in one go since the last call, when that was
  // a long stretch (at least kBacklogMicros); 0 otherwise. They come after
  // every frame taken before the last report.
  int64_t takeLongSkip();

  // Latency found after a stop that the server's reports leave out.
  int64_t unreportedMicros() const { return unreported_; }

  // The next `frames` frames of the stream, the last of them arrived at
  // `arrivalMicros`: when that last frame was captured.
  int64_t captured(int64_t frames, int64_t arrivalMicros);

  // Places the next `frames` frames, the last of them arrived at
  // `arrivalMicros`: `keep(offset, count, capturedMicros)` for each stretch
  // of them that is kept, in order, with when its last frame was captured.
  // A doubtful stretch is counted in the stream but left out.
  template <typename Keep>
  void place(int64_t frames, int64_t arrivalMicros, Keep&& keep) {
    const Stretch cut = doubtful(frames);
    if (cut.count == 0) return keep(int64_t{0}, frames, captured(frames, arrivalMicros));
    if (cut.offset > 0) keep(int64_t{0}, cut.offset, captured(cut.offset, arrivalMicros));
    captured(cut.count, arrivalMicros);
    const int64_t rest = frames - cut.offset - cut.count;
    if (rest > 0) keep(cut.offset + cut.count, rest, captured(rest, arrivalMicros));
  }

 private:
  // Of the next `frames` frames, the stretch (from `offset`, `count` long)
  // that a full queue's report doubts; count 0 when none.
  struct Stretch {
    int64_t offset = 0;
    int64_t count = 0;
  };
  Stretch doubtful(int64_t frames) const;

  struct Report {
    int64_t written;   // stream position of the newest frame written
    int64_t captured;  // when that frame was captured, microseconds
  };

  int64_t framesIn(int64_t micros) const;

  double rate_;
  int64_t position_ = 0;  // stream position after the frames placed so far
  int64_t taken_ = 0;     // frames placed so far, skips left out
  int64_t skipped_ = 0;
  int64_t skipSeen_ = 0;   // of skipped_, what takeLongSkip has looked at
  int64_t unreported_ = 0;  // taken off every report's capture time
  std::deque<Report> reports_;  // by write index; the front is the one in use
  int64_t reportedAt_ = -1;     // when the last report was taken
  int64_t largestRead_ = 0;     // the source's block size, as far as seen
  int64_t doubtFrom_ = 0, doubtTo_ = 0;  // stream positions, [from, to)
};
