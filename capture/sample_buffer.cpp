#include "capture/sample_buffer.hpp"

#include <algorithm>
#include <utility>

PcmSampleBuffer::PcmSampleBuffer(StreamFormat format, std::vector<Plane> planes, int64_t numSamples)
    : format_(format), planes_(std::move(planes)), numSamples_(numSamples) {}

PcmSampleBuffer PcmSampleBuffer::failing(StreamFormat format, int64_t numSamples, std::string error) {
  PcmSampleBuffer buffer(format, {}, numSamples);
  buffer.listError_ = std::move(error);
  return buffer;
}

std::optional<std::string> PcmSampleBuffer::withAudioBufferList(
    const std::function<void(const AudioBufferList&)>& body) const {
  if (listError_) return listError_;
  AudioBufferList list;
  list.buffers.reserve(planes_.size());
  for (const Plane& plane : planes_) {
    AudioBuffer buffer;
    if (plane.bytes) {
      // A plane never reports more bytes than it holds, so no reader of the
      // list can be led past its end.
      buffer.byteSize = static_cast<uint32_t>(
          std::min<size_t>(plane.byteSize, plane.bytes->size()));
      buffer.data = plane.bytes->data();
    } else {
      buffer.byteSize = plane.byteSize;  // a size without data, as a list may report
    }
    list.buffers.push_back(buffer);
  }
  body(list);
  return std::nullopt;
}
