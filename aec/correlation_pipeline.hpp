#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "aec/delay_search.hpp"

// The correlations of every segment of a track, made ahead of their use.
// They depend only on where each segment lies, so worker threads make them
// in segment order, a few segments ahead of the caller, while the caller
// frames the track; the peak picks, whose centre depends on the previous
// segment's delay, stay with the caller. With one thread the caller makes
// each correlation itself when it asks for it: the same values either way.
class CorrelationPipeline {
 public:
  // Segments of `window` samples at `starts`; `threads` at least 1. The
  // sources and transforms must outlive the pipeline.
  CorrelationPipeline(const SampleSource& mic, const SampleSource& reference,
                      std::vector<int64_t> starts, int64_t window, Dft& forward, Dft& inverse,
                      int threads);
  ~CorrelationPipeline();
  CorrelationPipeline(const CorrelationPipeline&) = delete;
  CorrelationPipeline& operator=(const CorrelationPipeline&) = delete;

  // The correlation of segment i, once it is made. Segments are asked for
  // in order, each once; the previous one's may be overwritten from here on.
  const StretchCorrelation& take(size_t i);

 private:
  void work();

  const SampleSource& mic_;
  const SampleSource& reference_;
  const std::vector<int64_t> starts_;
  const int64_t window_;
  Dft& forward_;
  Dft& inverse_;
  // Segment i is made in slot i % slots. ready_[slot] is the segment last
  // finished there (or -1).
  std::vector<std::unique_ptr<StretchCorrelation>> slots_;
  std::vector<int64_t> ready_;
  std::unique_ptr<LagCorrelator> inline_;  // the single-thread case
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t nextToMake_ = 0;
  size_t taken_ = 0;  // segments 0 ... taken_ - 1 handed out (the last may still be in use)
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};
