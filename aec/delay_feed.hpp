#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "aec/dft.hpp"
#include "aec/delay_track.hpp"
#include "aec/sample_source.hpp"

// The default canceller's delay track of mic and reference (the same
// segments, searches and picks), found on a thread of its own while the
// track is being cleaned: a reader asks for the records it needs and waits
// only until the search has got that far.
class DelayFeed {
 public:
  // Starts the search with its correlations on `threads` threads; nullptr
  // when the long transforms cannot be prepared. The sources must outlive
  // the feed.
  static std::unique_ptr<DelayFeed> start(const SampleSource& mic, const SampleSource& reference,
                                          double sampleRate, int threads);
  ~DelayFeed();
  DelayFeed(const DelayFeed&) = delete;
  DelayFeed& operator=(const DelayFeed&) = delete;

  // The records so far, once they settle the delay of every position below
  // `position`. Safe to call from several threads at once.
  std::vector<DelaySeg> through(int64_t position);
  // The whole track.
  std::vector<DelaySeg> whole();

 private:
  DelayFeed(const SampleSource& mic, const SampleSource& reference, double sampleRate,
            std::unique_ptr<Dft> forward, std::unique_ptr<Dft> inverse, int threads);
  void search();

  const SampleSource& mic_;
  const SampleSource& reference_;
  const double sampleRate_;
  std::unique_ptr<Dft> forward_;
  std::unique_ptr<Dft> inverse_;
  const int threads_;
  std::mutex mutex_;
  std::condition_variable grown_;
  std::vector<DelaySeg> segs_;  // guarded by mutex_; only the search appends
  bool complete_ = false;       // guarded by mutex_
  std::thread searcher_;
};
