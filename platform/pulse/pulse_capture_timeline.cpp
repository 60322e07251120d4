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
  skipped_ = std::max(skipped_, readFrames - takenFrames);
  // Nothing written yet says nothing of when the first frame will be.
  if (writtenFrames <= 0 || rate_ <= 0.0) return;
  Report report{writtenFrames,
                atMicros - std::max<int64_t>(sourceLatencyMicros, 0) - unreported_};
  // A report that has written no further than the last one adds nothing.
  if (!reports_.empty() && report.written <= reports_.back().written) return;
  const int64_t waiting = writtenFrames - std::max(readFrames, takenFrames);
  const bool full = queueFrames > 0 && waiting >= queueFrames - framesIn(kQueueFullMicros);
  if (!reports_.empty() && waiting >= framesIn(kBacklogMicros) && !full) {
    // Nothing was lost: the newest frame follows the last report's at the
    // source's pace. Later than that is latency the report left out.
    const Report& last = reports_.back();
    const auto since = static_cast<double>(report.written - last.written) * 1e6 / rate_;
    const int64_t follows = last.captured + static_cast<int64_t>(std::llround(since));
    if (report.captured > follows) {
      unreported_ += report.captured - follows;
      report.captured = follows;
    }
  }
  reports_.push_back(report);
  if (reports_.size() > kMaxReports) reports_.pop_front();
}

int64_t CaptureTimeline::captured(int64_t frames, int64_t arrivalMicros) {
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
