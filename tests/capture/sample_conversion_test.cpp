#include "capture/sample_conversion.hpp"

#include "capture_fixture.hpp"

namespace {

TEST(ExtractMono, FramesAreTheReciprocalTimesTheSumInChannelOrder) {
  // Three samples for which sum × (1/3) and sum / 3 differ in single precision.
  float a = 0, b = 0, c = 0, sum = 0;
  for (int k = 1; k < 10000 && (1.0f / 3.0f) * sum == sum / 3.0f; ++k) {
    a = 0.1f * k, b = 0.013f * k, c = 0.0007f * k;
    sum = 0.0f + a + b + c;
  }
  ASSERT_NE((1.0f / 3.0f) * sum, sum / 3.0f);
  StderrCapture err;
  EXPECT_EQ(extractMono(bufferOf(48000, 3, std::vector<float>{a, b, c}), "system"),
            std::vector<float>{(1.0f / 3.0f) * sum});
  EXPECT_EQ(err.text(), "");
}

TEST(ExtractMono, SampleTypesAndFrameCounts) {
  struct Case {
    const char* name;
    SampleBuffer buffer;
    std::vector<float> mono;
  } cases[] = {
      {"int16 exact", bufferOf<int16_t>(44100, 1, {-32768, 16384, 32767}), {-1.0f, 0.5f, 0.999969482421875f}},
      {"stereo float", bufferOf<float>(48000, 2, {0.2f, 0.4f, -1.0f, 0.5f}), {0.3f, -0.25f}},
      {"partial frame dropped", bufferOf<float>(48000, 2, {1, 3, 5}), {2}},
      {"fewer samples than channels", bufferOf<float>(48000, 4, {1, 2, 3}), {}},
      {"no channel count is mono", bufferOf<float>(48000, 0, {0.25f, 0.5f}), {0.25f, 0.5f}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(extractMono(c.buffer, "mic"), c.mono);
  }
}

TEST(ExtractMono, UnsupportedLayoutsWarnForEveryBuffer) {
  struct Case {
    uint32_t flags, bits;
    const char* text;
  } cases[] = {
      {kFormatFlagIsSignedInteger, 32, "float=false int=true bits=32"},
      {kFormatFlagIsFloat, 16, "float=true int=false bits=16"},
      {0, 8, "float=false int=false bits=8"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    SampleBuffer buffer{{48000, c.flags, 1, c.bits}, std::vector<std::byte>(64)};
    StderrCapture err;
    EXPECT_TRUE(extractMono(buffer, "mic").empty());
    EXPECT_TRUE(extractMono(buffer, "mic").empty());
    const std::string warning = line("[WARN] mic: unsupported PCM (") + c.text + ") — skipping";
    EXPECT_EQ(err.lines(), (std::vector<std::string>{warning, warning}));
  }
}

TEST(LogFormat, DescribesTheFormatOnOneLine) {
  StderrCapture err;
  logFormat({48000, kFormatFlagIsFloat, 2, 32}, "system");
  logFormat({47999.9, kFormatFlagIsSignedInteger, 1, 16}, "mic");
  EXPECT_EQ(err.text(),
            "narup-capture: format[system]: 48000Hz ch=2 bits=32 float=true int=false planar=false\n"
            "narup-capture: format[mic]: 47999Hz ch=1 bits=16 float=false int=true planar=false\n");
}

}  // namespace
