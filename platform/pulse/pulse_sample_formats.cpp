#include "platform/pulse/pulse_sample_formats.hpp"

#include <pulse/sample.h>

#include <array>

namespace {

struct SampleType {
  pa_sample_format_t format;
  pa_sample_format_t native;  // the same type in this machine's byte order
  uint32_t formatFlags;
  uint32_t bits;
};

constexpr uint32_t kFloat = kFormatFlagIsFloat;
constexpr uint32_t kInt = kFormatFlagIsSignedInteger;

// 24-bit samples in 32-bit words (S24_32) are described as 32-bit integers;
// unsigned 8-bit, A-law and mu-law as neither float nor signed.
constexpr std::array<SampleType, 13> kSampleTypes{{
    {PA_SAMPLE_U8, PA_SAMPLE_U8, 0, 8},
    {PA_SAMPLE_ALAW, PA_SAMPLE_ALAW, 0, 8},
    {PA_SAMPLE_ULAW, PA_SAMPLE_ULAW, 0, 8},
    {PA_SAMPLE_S16LE, PA_SAMPLE_S16NE, kInt, 16},
    {PA_SAMPLE_S16BE, PA_SAMPLE_S16NE, kInt, 16},
    {PA_SAMPLE_FLOAT32LE, PA_SAMPLE_FLOAT32NE, kFloat, 32},
    {PA_SAMPLE_FLOAT32BE, PA_SAMPLE_FLOAT32NE, kFloat, 32},
    {PA_SAMPLE_S32LE, PA_SAMPLE_S32NE, kInt, 32},
    {PA_SAMPLE_S32BE, PA_SAMPLE_S32NE, kInt, 32},
    {PA_SAMPLE_S24LE, PA_SAMPLE_S24NE, kInt, 24},
    {PA_SAMPLE_S24BE, PA_SAMPLE_S24NE, kInt, 24},
    {PA_SAMPLE_S24_32LE, PA_SAMPLE_S24_32NE, kInt, 32},
    {PA_SAMPLE_S24_32BE, PA_SAMPLE_S24_32NE, kInt, 32},
}};

const SampleType* typeOf(int sampleFormat) {
  for (const SampleType& t : kSampleTypes) {
    if (t.format == sampleFormat) return &t;
  }
  return nullptr;
}

}  // namespace

int nativeSampleFormat(int sampleFormat) {
  const SampleType* t = typeOf(sampleFormat);
  return t != nullptr ? t->native : sampleFormat;
}

StreamFormat streamFormatOf(int sampleFormat, uint32_t rate, uint8_t channels) {
  StreamFormat f;
  f.sampleRate = static_cast<double>(rate);
  f.channelsPerFrame = channels;
  const SampleType* t = typeOf(sampleFormat);
  f.formatFlags = t != nullptr ? t->formatFlags : 0;
  f.bitsPerChannel = t != nullptr ? t->bits : 8;
  return f;
}
