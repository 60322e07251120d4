#pragma once

#include <cstdint>
#include <span>
#include <vector>

// A mono track the canceller reads in stretches: from memory, or from a file
// converted as it is read. Positions outside the track read as 0, so the
// canceller needs no edge cases of its own.
class SampleSource {
 public:
  virtual ~SampleSource() = default;
  virtual int64_t size() const = 0;
  // dst[i] = sample at + i for i in [0, n), 0 where that is outside the
  // track. Safe to call from several threads at once.
  void read(int64_t at, int64_t n, float* dst) const;

 protected:
  // The samples first ... first + count - 1, all inside the track (count > 0).
  virtual void readInside(int64_t first, int64_t count, float* dst) const = 0;
};

// [lo, hi) of the positions i in [0, n) for which at + i lies in a track of
// `size` samples; lo >= hi when there is none. No intermediate overflows,
// whatever `at` is.
struct ValidRange {
  int64_t lo;
  int64_t hi;
};
ValidRange validRange(int64_t at, int64_t n, int64_t size);

// A track already in memory.
class SpanSource final : public SampleSource {
 public:
  explicit SpanSource(std::span<const float> samples) : samples_(samples) {}
  int64_t size() const override { return static_cast<int64_t>(samples_.size()); }

 private:
  void readInside(int64_t first, int64_t count, float* dst) const override;
  std::span<const float> samples_;
};

// Where the cleaned track goes, in order, a piece at a time.
class SampleSink {
 public:
  virtual ~SampleSink() = default;
  virtual void write(std::span<const float> samples) = 0;
};

// A sink that collects the track in memory.
class VectorSink final : public SampleSink {
 public:
  explicit VectorSink(size_t expected);
  void write(std::span<const float> samples) override;
  std::vector<float> take() { return std::move(samples_); }

 private:
  std::vector<float> samples_;
};

// Passes the whole of `source` to `sink`, in pieces.
void copyTrack(const SampleSource& source, SampleSink& sink);
