// The stream format a record stream states for each sample type of the sound
// server: the layouts the capture code reads are described as such, the
// others as they are, so that the capture code can name them.
#include "platform/pulse/pulse_record_stream.hpp"

#include <pulse/sample.h>

#include <gtest/gtest.h>

#include <string>

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
  struct Layout {
    uint32_t rate;
    uint8_t channels;
  };
  for (const Case& c : cases) {
    for (const Layout l : {Layout{44100, 2}, Layout{48000, 1}, Layout{16000, 6}}) {
      SCOPED_TRACE(std::string(c.what) + " at " + std::to_string(l.rate) + " Hz, " +
                   std::to_string(l.channels) + " channels");
      StreamFormat f = streamFormatOf(c.format, l.rate, l.channels);
      EXPECT_EQ(f.formatFlags, c.flags);  // never non-interleaved: always one buffer
      EXPECT_EQ(f.bitsPerChannel, c.bits);
      EXPECT_EQ(f.channelsPerFrame, l.channels);
      EXPECT_EQ(f.sampleRate, static_cast<double>(l.rate));
    }
  }
}

}  // namespace
