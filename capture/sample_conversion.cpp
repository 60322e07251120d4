#include "capture/sample_conversion.hpp"

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

// Frames of `channels` samples; a trailing partial frame is dropped. The
// mean is the reciprocal times the sum, summed in channel order from 0.
template <typename Sample>
std::vector<float> interleavedMono(const std::vector<std::byte>& bytes, size_t channels) {
  std::vector<float> out;
  const size_t total = bytes.size() / Sample::kWidth;
  out.reserve(total / channels);
  if (total < channels) return out;
  const float r = 1.0f / static_cast<float>(channels);
  for (size_t start = 0; start + channels <= total; start += channels) {
    float sum = 0.0f;
    for (size_t c = 0; c < channels; ++c) sum += Sample::at(bytes.data(), start + c);
    out.push_back(r * sum);
  }
  return out;
}

}  // namespace

std::vector<float> extractMono(const SampleBuffer& buffer, std::string_view label) {
  const StreamFormat& format = buffer.format;
  const size_t channels = format.channelsPerFrame == 0 ? 1 : format.channelsPerFrame;
  const uint32_t bits = format.bitsPerChannel;
  const bool isFloat = (format.formatFlags & kFormatFlagIsFloat) != 0;
  const bool isInt = (format.formatFlags & kFormatFlagIsSignedInteger) != 0;

  if (bits == 32 && isFloat) return interleavedMono<FloatSample>(buffer.bytes, channels);
  if (bits == 16 && isInt) return interleavedMono<Int16Sample>(buffer.bytes, channels);
  logErr(formatLine("[WARN] %.*s: unsupported PCM (float=%s int=%s bits=%u) — skipping",
                    static_cast<int>(label.size()), label.data(), boolText(isFloat),
                    boolText(isInt), bits));
  return {};
}

void logFormat(const StreamFormat& format, std::string_view label) {
  logErr("format[" + std::string(label) + "]: " + rateText(format.sampleRate) +
         "Hz ch=" + std::to_string(format.channelsPerFrame) +
         " bits=" + std::to_string(format.bitsPerChannel) +
         " float=" + boolText((format.formatFlags & kFormatFlagIsFloat) != 0) +
         " int=" + boolText((format.formatFlags & kFormatFlagIsSignedInteger) != 0) +
         " planar=false");  // the server always interleaves
}
