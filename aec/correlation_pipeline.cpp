#include "aec/correlation_pipeline.hpp"

CorrelationPipeline::CorrelationPipeline(const SampleSource& mic, const SampleSource& reference,
                                         std::vector<int64_t> starts, int64_t window,
                                         Dft& forward, Dft& inverse, int threads)
    : mic_(mic),
      reference_(reference),
      starts_(std::move(starts)),
      window_(window),
      forward_(forward),
      inverse_(inverse) {
  if (threads <= 1) {
    slots_.push_back(std::make_unique<StretchCorrelation>());
    inline_ = std::make_unique<LagCorrelator>(forward_, inverse_);
    return;
  }
  // One slot per worker, one for the segment in use, one ready beyond it:
  // the workers stay ahead without holding memory in proportion to the track.
  const size_t slots = std::min(starts_.size(), static_cast<size_t>(threads) + 2);
  for (size_t i = 0; i < slots; ++i) slots_.push_back(std::make_unique<StretchCorrelation>());
  ready_.assign(slots, -1);
  const int workers = static_cast<int>(std::min(starts_.size(), static_cast<size_t>(threads)));
  for (int w = 0; w < workers; ++w) workers_.emplace_back([this] { work(); });
}

CorrelationPipeline::~CorrelationPipeline() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& t : workers_) t.join();
}

const StretchCorrelation& CorrelationPipeline::take(size_t i) {
  if (inline_) {
    inline_->correlate(mic_, reference_, starts_[i], window_, *slots_[0]);
    return *slots_[0];
  }
  const size_t slot = i % slots_.size();
  std::unique_lock<std::mutex> lock(mutex_);
  // Taking segment i releases segment i - 1's slot.
  taken_ = i + 1;
  changed_.notify_all();
  changed_.wait(lock, [&] { return ready_[slot] == static_cast<int64_t>(i); });
  return *slots_[slot];
}

// Segment i may be made once its slot's previous segment, i - slots, is no
// longer in use: the caller has taken a later one.
void CorrelationPipeline::work() {
  LagCorrelator correlator(forward_, inverse_);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] {
      return stopping_ || (nextToMake_ < starts_.size() && nextToMake_ + 1 < taken_ + slots_.size());
    });
    if (stopping_) return;
    const size_t i = nextToMake_++;
    const size_t slot = i % slots_.size();
    lock.unlock();
    correlator.correlate(mic_, reference_, starts_[i], window_, *slots_[slot]);
    lock.lock();
    ready_[slot] = static_cast<int64_t>(i);
    changed_.notify_all();
  }
}
