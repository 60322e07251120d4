#include "capture/sample_conversion.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "capture/rate_text.hpp"
#include "base/console.hpp"

namespace {

const char* boolText(bool value) { return value ? "true" : "false"; }

// Sample readers: native-endian values at any alignment.
struct FloatSample {
  static constexpr size_t kWidth = 4;
  static float at(const std::byte* data, size_t index) {
    float v;
    std::memcpy(&v, data + index * kWidth, kWidth);
    return v;
  }
};

struct Int16Sample {
  static constexpr size_t kWidth = 2;
  // Exact in single precision: -32768 gives -1.0, 32767 gives 0.999969482421875.
  static float at(const std::byte* data, size_t index) {
    int16_t v;
    std::memcpy(&v, data + index * kWidth, kWidth);
    return static_cast<float>(v) / 32768.0f;
  }
};

// Interleaved: frames of `channels` samples in the first buffer; a trailing
// partial frame is dropped. The mean is the reciprocal times the sum, summed
// in channel order from 0.
template <typename Sample>
std::vector<float> interleavedMono(const AudioBufferList& list, size_t channels) {
  std::vector<float> out;
  const AudioBuffer& first = list.buffers.front();
  if (first.data == nullptr) return out;
  const size_t total = first.byteSize / Sample::kWidth;
  out.reserve(total / channels);
  if (total < channels) return out;
  const float r = 1.0f / static_cast<float>(channels);
  for (size_t start = 0; start + channels <= total; start += channels) {
    float sum = 0.0f;
    for (size_t c = 0; c < channels; ++c) sum += Sample::at(first.data, start + c);
    out.push_back(r * sum);
  }
  return out;
}

// Planar: one buffer per channel, at most `channels` of them; buffers without
// data are skipped and the mean is over the planes that carry data. The
// frame count is the first buffer's; a collected plane shorter than that
// ends the output at its own end, since no plane is read beyond its size.
template <typename Sample>
std::vector<float> planarMono(const AudioBufferList& list, size_t channels) {
  std::vector<float> out;
  const size_t m = std::min(list.buffers.size(), channels);
  std::vector<const std::byte*> planes;
  size_t frames = list.buffers.front().byteSize / Sample::kWidth;
  for (size_t b = 0; b < m; ++b) {
    const AudioBuffer& buffer = list.buffers[b];
    if (buffer.data == nullptr) continue;
    planes.push_back(buffer.data);
    frames = std::min<size_t>(frames, buffer.byteSize / Sample::kWidth);
  }
  if (planes.empty()) return out;
  out.reserve(frames);
  if (frames == 0) return out;
  const float r = 1.0f / static_cast<float>(planes.size());
  for (size_t i = 0; i < frames; ++i) {
    float sum = 0.0f;
    for (const std::byte* plane : planes) sum += Sample::at(plane, i);
    out.push_back(r * sum);
  }
  return out;
}

}  // namespace

std::vector<float> convertToMono(const AudioBufferList& list, const StreamFormat& format,
                                 std::string_view label) {
  const size_t channels = format.channelsPerFrame == 0 ? 1 : format.channelsPerFrame;
  const uint32_t bits = format.bitsPerChannel;
  const bool isFloat = (format.formatFlags & kFormatFlagIsFloat) != 0;
  const bool isInt = (format.formatFlags & kFormatFlagIsSignedInteger) != 0;
  const bool planar = (format.formatFlags & kFormatFlagIsNonInterleaved) != 0;

  if (list.buffers.empty()) return {};
  if (bits == 32 && isFloat) {
    return planar ? planarMono<FloatSample>(list, channels)
                  : interleavedMono<FloatSample>(list, channels);
  }
  if (bits == 16 && isInt) {
    return planar ? planarMono<Int16Sample>(list, channels)
                  : interleavedMono<Int16Sample>(list, channels);
  }
  logErr(formatLine("[WARN] %.*s: unsupported PCM (float=%s int=%s bits=%u) — skipping",
                    static_cast<int>(label.size()), label.data(), boolText(isFloat),
                    boolText(isInt), bits));
  return {};
}

std::vector<float> extractMono(const SampleBuffer& buffer, const StreamFormat& format,
                               std::string_view label) {
  std::vector<float> out;
  std::optional<std::string> error = buffer.withAudioBufferList(
      [&](const AudioBufferList& list) { out = convertToMono(list, format, label); });
  if (error) {
    logErr("[WARN] " + std::string(label) + ": withAudioBufferList failed: " + *error);
    return {};
  }
  return out;
}

void logFormat(const StreamFormat& format, std::string_view label) {
  logErr("format[" + std::string(label) + "]: " + rateText(format.sampleRate) +
         "Hz ch=" + std::to_string(format.channelsPerFrame) +
         " bits=" + std::to_string(format.bitsPerChannel) +
         " float=" + boolText((format.formatFlags & kFormatFlagIsFloat) != 0) +
         " int=" + boolText((format.formatFlags & kFormatFlagIsSignedInteger) != 0) +
         " planar=" + boolText((format.formatFlags & kFormatFlagIsNonInterleaved) != 0));
}
