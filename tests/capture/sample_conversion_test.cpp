#include "capture/sample_conversion.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "capture/rate_text.hpp"
#include "scripted_media_services.hpp"
#include "support/stderr_capture.hpp"

namespace {

using scripted::floatFormat;
using scripted::int16Format;
using scripted::planeOf;

PcmSampleBuffer::Plane emptyPlane(uint32_t byteSize) {
  PcmSampleBuffer::Plane plane;
  plane.byteSize = byteSize;  // reported size, no data
  return plane;
}

std::vector<float> convert(const StreamFormat& format, std::vector<PcmSampleBuffer::Plane> planes,
                           const char* label = "system") {
  PcmSampleBuffer buffer(format, std::move(planes), 1);
  return extractMono(buffer, format, label);
}

float mean(std::initializer_list<float> xs) {
  // The defined arithmetic: the sum in order from 0, times the reciprocal.
  float sum = 0.0f;
  for (float x : xs) sum += x;
  return (1.0f / static_cast<float>(xs.size())) * sum;
}

TEST(ExtractMono, InterleavedFloatStereoAveragesEachFrame) {
  std::vector<float> samples(1024);  // 4096 bytes, 512 frames
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = std::sin(0.01f * i) * (i % 2 ? 0.3f : 0.9f);
  StderrCapture err;
  std::vector<float> out = convert(floatFormat(48000, 2), {planeOf(samples)});
  ASSERT_EQ(out.size(), 512u);
  for (size_t i = 0; i < 512; ++i) {
    ASSERT_EQ(out[i], (samples[2 * i] + samples[2 * i + 1]) * 0.5f) << i;
  }
  EXPECT_EQ(err.text(), "");
}

TEST(ExtractMono, AverageIsReciprocalTimesSumNotADivision) {
  // Find three samples for which sum * (1/3) and sum / 3 differ in single
  // precision; the result must be the former.
  float a = 0, b = 0, c = 0;
  bool found = false;
  for (int k = 1; k < 10000 && !found; ++k) {
    a = 0.1f * k;
    b = 0.013f * k;
    c = 0.0007f * k;
    float sum = 0.0f + a + b + c;
    found = (1.0f / 3.0f) * sum != sum / 3.0f;
  }
  ASSERT_TRUE(found);
  std::vector<float> out = convert(floatFormat(48000, 3), {planeOf(std::vector<float>{a, b, c})});
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], mean({a, b, c}));
  float sum = 0.0f + a + b + c;
  EXPECT_NE(out[0], sum / 3.0f);
}

TEST(ExtractMono, LayoutsAndSampleTypes) {
  struct Case {
    const char* name;
    StreamFormat format;
    std::vector<PcmSampleBuffer::Plane> planes;
    std::vector<float> expected;
  };
  using V = std::vector<float>;
  using I = std::vector<int16_t>;
  const uint32_t both = kFormatFlagIsFloat | kFormatFlagIsSignedInteger;
  std::vector<Case> cases{
      // Interleaved: one buffer, frames of `channels` samples.
      {"int16 scaled by 1/32768 exactly", int16Format(16000, 1),
       {planeOf(I{-32768, 16384, 32767, 0, -1})},
       {-1.0f, 0.5f, 0.999969482421875f, 0.0f, -1.0f / 32768.0f}},
      {"both type bits, 32 bits: float", StreamFormat{48000, both, 1, 32}, {planeOf(V{0.75f})},
       {0.75f}},
      {"both type bits, 16 bits: integer", StreamFormat{48000, both, 1, 16}, {planeOf(I{-16384})},
       {-0.5f}},
      {"stray sample after five stereo frames is dropped", floatFormat(48000, 2),
       {planeOf(V{1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 100})}, {2, 6, 10, 14, 18}},
      {"fewer samples than channels", floatFormat(48000, 2), {planeOf(V{0.5f})}, {}},
      {"no samples", floatFormat(48000, 2), {planeOf(V{})}, {}},
      {"zero channels read as mono", floatFormat(48000, 0), {planeOf(V{0.25f, -0.5f})},
       {0.25f, -0.5f}},
      {"six channels, two frames", floatFormat(48000, 6),
       {planeOf(V{1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2})},
       {mean({1, 1, 1, 1, 1, 1}), mean({2, 2, 2, 2, 2, 2})}},
      {"interleaved reads only the first buffer", floatFormat(48000, 1),
       {planeOf(V{0.5f}), planeOf(V{9, 9})}, {0.5f}},
      {"interleaved needs the first buffer's data", floatFormat(48000, 1),
       {emptyPlane(400), planeOf(V{1})}, {}},
      // Planar: one buffer per channel.
      {"two planes", floatFormat(48000, 2, true), {planeOf(V{1, 2, 3}), planeOf(V{3, 4, 5})},
       {2, 3, 4}},
      {"third buffer of a two-channel format is never read", floatFormat(48000, 2, true),
       {planeOf(V{1, 2}), planeOf(V{3, 4}), planeOf(V{1000, 1000})}, {2, 3}},
      {"second plane without data: divisor 1", floatFormat(48000, 2, true),
       {planeOf(V{0.25f, -0.75f}), emptyPlane(8)}, {0.25f, -0.75f}},
      {"first buffer of size 0 gives nothing", floatFormat(48000, 2, true),
       {planeOf(V{}), planeOf(V{1, 2, 3})}, {}},
      {"first buffer without data still sets the frame count", floatFormat(48000, 2, true),
       {emptyPlane(8), planeOf(V{0.5f, 0.25f, 7.0f})}, {0.5f, 0.25f}},
      {"no plane carries data", floatFormat(48000, 2, true), {emptyPlane(8), emptyPlane(8)}, {}},
      {"a plane shorter than the first ends the output", floatFormat(48000, 2, true),
       {planeOf(V{1, 2, 3, 4}), planeOf(V{3, 4})}, {2, 3}},
      {"zero channels: only the first buffer", floatFormat(48000, 0, true),
       {planeOf(V{0.5f}), planeOf(V{9})}, {0.5f}},
      {"int16 planes", int16Format(48000, 2, true), {planeOf(I{16384, -32768}), planeOf(I{0, 0})},
       {0.25f, -0.5f}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StderrCapture err;
    EXPECT_EQ(convert(c.format, c.planes), c.expected);
    EXPECT_EQ(err.text(), "");  // none of these is worth a warning
  }
}

TEST(ExtractMono, UnsupportedLayoutsWarnForEveryBuffer) {
  struct Case {
    uint32_t flags;
    uint32_t bits;
    const char* what;
  };
  const Case cases[] = {
      {kFormatFlagIsSignedInteger, 24, "float=false int=true bits=24"},
      {kFormatFlagIsSignedInteger, 8, "float=false int=true bits=8"},
      {kFormatFlagIsSignedInteger, 32, "float=false int=true bits=32"},
      {kFormatFlagIsFloat, 64, "float=true int=false bits=64"},
      {0, 16, "float=false int=false bits=16"},
      {kFormatFlagIsFloat, 16, "float=true int=false bits=16"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string line =
        std::string("narup-capture: [WARN] mic: unsupported PCM (") + c.what + ") — skipping\n";
    StreamFormat format{48000, c.flags, 1, c.bits};
    StderrCapture err;
    for (int i = 0; i < 2; ++i) {
      EXPECT_TRUE(convert(format, {planeOf(std::vector<float>(16, 0.5f))}, "mic").empty());
    }
    EXPECT_EQ(err.text(), line + line);  // no once-only guard
  }
}

TEST(ExtractMono, EmptyBufferListGivesNothingSilentlyEvenWhenUnsupported) {
  StderrCapture err;
  EXPECT_TRUE(convert(StreamFormat{48000, kFormatFlagIsSignedInteger, 1, 24}, {}).empty());
  EXPECT_EQ(err.text(), "");
}

TEST(ExtractMono, BufferListThatCannotBeHadIsOneWarning) {
  PcmSampleBuffer buffer = PcmSampleBuffer::failing(floatFormat(48000, 2), 10, "no memory");
  StderrCapture err;
  EXPECT_TRUE(extractMono(buffer, floatFormat(48000, 2), "system").empty());
  EXPECT_EQ(err.text(), "narup-capture: [WARN] system: withAudioBufferList failed: no memory\n");
}

TEST(PcmSampleBuffer, NeverReportsMoreBytesThanItHolds) {
  PcmSampleBuffer::Plane lying = planeOf(std::vector<float>{1, 2});
  lying.byteSize = 4096;
  PcmSampleBuffer buffer(floatFormat(48000, 1), {lying, emptyPlane(64)}, 2);
  std::vector<uint32_t> sizes;
  ASSERT_FALSE(buffer.withAudioBufferList([&](const AudioBufferList& list) {
    for (const AudioBuffer& b : list.buffers) sizes.push_back(b.byteSize);
    EXPECT_NE(list.buffers[0].data, nullptr);
    EXPECT_EQ(list.buffers[1].data, nullptr);
  }));
  EXPECT_EQ(sizes, (std::vector<uint32_t>{8, 64}));
  EXPECT_EQ(extractMono(buffer, floatFormat(48000, 1), "mic"), (std::vector<float>{1, 2}));
}

TEST(LogFormat, DescribesTheFormatOnOneLine) {
  StderrCapture err;
  logFormat(floatFormat(48000, 2, true), "system");
  logFormat(int16Format(44100.0, 1), "mic");
  logFormat(StreamFormat{47999.9, 0, 0, 24}, "mic");
  EXPECT_EQ(err.text(),
            "narup-capture: format[system]: 48000Hz ch=2 bits=32 float=true int=false planar=true\n"
            "narup-capture: format[mic]: 44100Hz ch=1 bits=16 float=false int=true planar=false\n"
            "narup-capture: format[mic]: 47999Hz ch=0 bits=24 float=false int=false planar=false\n");
}

TEST(RateText, TruncatesTowardZeroAndSurvivesAnyDouble) {
  struct Case {
    double rate;
    const char* text;
  };
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<Case> cases{
      {48000.0, "48000"},     {47999.9, "47999"}, {0.0, "0"},    {-0.5, "0"},
      {-44100.7, "-44100"},   {1e19, "10000000000000000000"},    {-1e19, "-10000000000000000000"},
      {9.2233720368547758e18, "9223372036854775808"},            {inf, "inf"},
      {-inf, "-inf"},         {std::nan(""), "nan"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(rateText(c.rate), c.text);
  }
}

}  // namespace
