#include "aec/sample_source.hpp"

#include <algorithm>
#include <cstring>

#include "aec/large_buffer.hpp"

ValidRange validRange(int64_t at, int64_t n, int64_t size) {
  if (n <= 0 || at >= size || at <= -n) return {0, 0};
  return {at < 0 ? -at : 0, std::min(n, size - at)};
}

void SampleSource::read(int64_t at, int64_t n, float* dst) const {
  const ValidRange v = validRange(at, n, size());
  if (v.lo >= v.hi) {
    std::fill(dst, dst + std::max<int64_t>(n, 0), 0.0f);
    return;
  }
  std::fill(dst, dst + v.lo, 0.0f);
  readInside(at + v.lo, v.hi - v.lo, dst + v.lo);
  std::fill(dst + v.hi, dst + n, 0.0f);
}

void SpanSource::readInside(int64_t first, int64_t count, float* dst) const {
  std::memcpy(dst, samples_.data() + first, static_cast<size_t>(count) * sizeof(float));
}

// A long track's output is fresh memory: it is offered for huge pages and
// populated in one call up front, which spares the writes tens of thousands
// of page faults.
VectorSink::VectorSink(size_t expected) {
  samples_.reserve(expected);
  adviseHugePages(samples_.data(), expected * sizeof(float));
  populateForWriting(samples_.data(), expected * sizeof(float));
}

void VectorSink::write(std::span<const float> samples) {
  samples_.insert(samples_.end(), samples.begin(), samples.end());
}

void copyTrack(const SampleSource& source, SampleSink& sink) {
  constexpr int64_t kPiece = 1 << 16;
  std::vector<float> piece(kPiece);
  for (int64_t at = 0; at < source.size(); at += kPiece) {
    const int64_t n = std::min(kPiece, source.size() - at);
    source.read(at, n, piece.data());
    sink.write(std::span<const float>(piece.data(), static_cast<size_t>(n)));
  }
}
