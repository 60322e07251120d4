#include "platform/pulse/pulse_capture_timeline.hpp"

#include <algorithm>
#include <cmath>

namespace {

// Reports kept ahead of the stream position: a backlog spans a few of them.
constexpr size_t kMaxReports = 64;

}  // namespace

CaptureTimeline::CaptureTimeline(double rate) : rate_(rate > 0.0 ? rate : 0.0) {}

int64_t CaptureTimeline::framesIn(int64_t micros) const {
  return static_cast<int64_t>(std::llround(static_cast<double>(micros) * rate_ / 1e6));
}

void CaptureTimeline::serverReport(int64_t atMicros, int64_t writtenFrames, int64_t readFrames,
                                   int64_t sourceLatencyMicros, int64_t takenFrames,
                                   int64_t queueFrames) {
  // A skip shows as a read index ahead of what we took; it is never undone.
  const bool skipping = readFrames - takenFrames > skipped_;
  // Reports come after every read: a long silence between two is a stop.
  const bool resumed = reportedAt_ >= 0 && atMicros - reportedAt_ >= kBacklogMicros;
  reportedAt_ = atMicros;
  skipped_ = std::max(skipped_, readFrames - takenFrames);
  // Nothing written yet says nothing of when the first frame will be.
  if (writtenFrames <= 0 || rate_ <= 0.0) return;
  Report report{writtenFrames,
                atMicros - std::max<int64_t>(sourceLatencyMicros, 0) - unreported_};
  // A report that has written no further than the last one adds nothing.
  if (!reports_.empty() && report.written <= reports_.back().written) return;
  const int64_t waiting = writtenFrames - std::max(readFrames, takenFrames);
  const bool backlog = !reports_.empty() && waiting >= framesIn(kBacklogMicros);
  if (backlog) {
    // The newest frame follows the last report's at the source's pace
    // unless something was lost; later than that is either latency the
    // report left out (a little) or a loss (the queue filled, or more time
    // than any server holds back).
    const Report& last = reports_.back();
    const auto since = static_cast<double>(report.written - last.written) * 1e6 / rate_;
    const int64_t follows = last.captured + static_cast<int64_t>(std::llround(since));
    const bool full = queueFrames > 0 && waiting >= queueFrames - framesIn(kQueueFullMicros);
    // More waiting than the queue holds: the server went on writing over
    // it, and will skip its read index on; it kept the newest.
    const bool overwrote = queueFrames > 0 && waiting > queueFrames + framesIn(kQueueFullMicros);
    const int64_t late = report.captured - follows;
    if ((!full || overwrote) && late > 0 && late <= kUnreportedMaxMicros) {
      unreported_ += late;
      report.captured = follows;
    } else if ((full || late > kUnreportedMaxMicros) && resumed && !skipping && !overwrote) {
      // A server that skips its queue keeps the newest, all at its time.
      const int64_t block = std::clamp<int64_t>(largestRead_, 1, framesIn(kQueueFullMicros));
      doubtFrom_ = std::max(doubtTo_, writtenFrames - block);
      doubtTo_ = std::max(doubtTo_, writtenFrames);
    }
  }
  reports_.push_back(report);
  if (reports_.size() > kMaxReports) reports_.pop_front();
}

int64_t CaptureTimeline::takeLongSkip() {
  const int64_t grown = skipped_ - skipSeen_;
  skipSeen_ = skipped_;
  return grown >= framesIn(kBacklogMicros) ? grown : 0;
}

CaptureTimeline::Stretch CaptureTimeline::doubtful(int64_t frames) const {
  const int64_t start = std::max(position_, taken_ + skipped_);
  const int64_t from = std::max(start, doubtFrom_);
  const int64_t to = std::min(start + std::max<int64_t>(frames, 0), doubtTo_);
  if (from >= to) return {};
  return {from - start, to - from};
}

int64_t CaptureTimeline::captured(int64_t frames, int64_t arrivalMicros) {
  largestRead_ = std::max(largestRead_, frames);
  taken_ += std::max<int64_t>(frames, 0);
  position_ = std::max(position_, taken_ + skipped_);
  // The latest report that the last frame placed came after: it was written
  // after that report, at the source's pace or later. A report vouches for
  // nothing it had already written: a server whose queue was full wrote its
  // last frame long before it was asked.
  while (reports_.size() > 1 && reports_[1].written < position_) reports_.pop_front();
  if (reports_.empty() || reports_.front().written >= position_) return arrivalMicros;
  const Report& r = reports_.front();
  const double since = static_cast<double>(position_ - r.written) * 1e6 / rate_;
  return std::min(arrivalMicros, r.captured + static_cast<int64_t>(std::llround(since)));
}
