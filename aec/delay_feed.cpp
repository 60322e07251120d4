#include "aec/delay_feed.hpp"

#include <algorithm>
#include <system_error>

#include "aec/aec_constants.hpp"
#include "aec/correlation_pipeline.hpp"

std::unique_ptr<DelayFeed> DelayFeed::start(const SampleSource& mic, const SampleSource& reference,
                                            double sampleRate, int threads) {
  std::unique_ptr<Dft> fwd = fftwDftFactory().create(aec::kCorrN, DftDirection::kForward);
  if (!fwd) return nullptr;
  std::unique_ptr<Dft> inv = fftwDftFactory().create(aec::kCorrN, DftDirection::kInverse);
  if (!inv) return nullptr;
  return std::unique_ptr<DelayFeed>(
      new DelayFeed(mic, reference, sampleRate, std::move(fwd), std::move(inv), threads));
}

DelayFeed::DelayFeed(const SampleSource& mic, const SampleSource& reference, double sampleRate,
                     std::unique_ptr<Dft> forward, std::unique_ptr<Dft> inverse, int threads)
    : mic_(mic),
      reference_(reference),
      sampleRate_(sampleRate),
      forward_(std::move(forward)),
      inverse_(std::move(inverse)),
      threads_(std::max(1, threads)) {
  try {
    searcher_ = std::thread([this] { search(); });
  } catch (const std::system_error&) {
    search();  // no thread to be had: the whole track now
  }
}

DelayFeed::~DelayFeed() {
  if (searcher_.joinable()) searcher_.join();
}

void DelayFeed::search() {
  const DelaySearchParams params = delaySearchParams(sampleRate_);
  const std::vector<int64_t> starts = segmentStarts(mic_.size(), params);
  CorrelationPipeline correlations(mic_, reference_, starts, params.segment, *forward_, *inverse_,
                                   threads_);
  DelayTrack track(params);
  for (size_t i = 0; i < starts.size(); ++i) {
    track.add(starts[i], pickLag(correlations.take(i), track.nextCenter(), track.nextRadius()));
    std::lock_guard<std::mutex> lock(mutex_);
    segs_.push_back(track.segs().back());
    grown_.notify_all();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  complete_ = true;
  grown_.notify_all();
}

std::vector<DelaySeg> DelayFeed::through(int64_t position) {
  std::unique_lock<std::mutex> lock(mutex_);
  // A record starting at or after `position` settles everything before it.
  grown_.wait(lock, [&] { return complete_ || (!segs_.empty() && segs_.back().start >= position); });
  return segs_;
}

std::vector<DelaySeg> DelayFeed::whole() {
  std::unique_lock<std::mutex> lock(mutex_);
  grown_.wait(lock, [&] { return complete_; });
  return segs_;
}
