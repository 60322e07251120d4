// The stream format a record stream states for each sample type of the sound
// server: the layouts the capture code reads are described as such, the
// others as they are, so that the capture code can name them.
#include "platform/pulse/pulse_record_stream.hpp"

#include <pulse/sample.h>

#include <gtest/gtest.h>

namespace {

TEST(PulseStreamFormat, EverySampleTypeIsDescribedAsItIs) {
  struct Case {
    pa_sample_format_t format;
    uint32_t flags;
    uint32_t bits;
    const char* what;
  };
  const Case cases[] = {
      {PA_SAMPLE_FLOAT32LE, kFormatFlagIsFloat, 32, "float32le"},
      {PA_SAMPLE_FLOAT32BE, kFormatFlagIsFloat, 32, "float32be"},
      {PA_SAMPLE_S16LE, kFormatFlagIsSignedInteger, 16, "s16le"},
      {PA_SAMPLE_S16BE, kFormatFlagIsSignedInteger, 16, "s16be"},
      {PA_SAMPLE_S24LE, kFormatFlagIsSignedInteger, 24, "s24le: packed 24-bit"},
      {PA_SAMPLE_S24_32LE, kFormatFlagIsSignedInteger, 32, "s24-32le: 32-bit words"},
      {PA_SAMPLE_S32LE, kFormatFlagIsSignedInteger, 32, "s32le"},
      {PA_SAMPLE_U8, 0, 8, "u8: unsigned"},
      {PA_SAMPLE_ALAW, 0, 8, "A-law"},
      {PA_SAMPLE_ULAW, 0, 8, "mu-law"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StreamFormat f = streamFormatOf(c.format, 44100, 2);
    EXPECT_EQ(f.formatFlags, c.flags);
    EXPECT_EQ(f.bitsPerChannel, c.bits);
    EXPECT_EQ(f.channelsPerFrame, 2u);
    EXPECT_EQ(f.sampleRate, 44100.0);
    // Always one interleaved buffer.
    EXPECT_EQ(f.formatFlags & kFormatFlagIsNonInterleaved, 0u);
  }
}

TEST(PulseStreamFormat, RateAndChannelsAreTheStreams) {
  StreamFormat f = streamFormatOf(PA_SAMPLE_FLOAT32NE, 48000, 1);
  EXPECT_EQ(f.sampleRate, 48000.0);
  EXPECT_EQ(f.channelsPerFrame, 1u);
  f = streamFormatOf(PA_SAMPLE_S16NE, 16000, 6);
  EXPECT_EQ(f.sampleRate, 16000.0);
  EXPECT_EQ(f.channelsPerFrame, 6u);
}

}  // namespace
