#include <gtest/gtest.h>

#include "audio/wav.hpp"

namespace {

TEST(ChannelPath, ReplacesOneExactDotWavOrAppends) {
  struct Case {
    const char* path;
    const char* label;
    const char* want;
  };
  const Case cases[] = {
      {"out.wav", "mic", "out.mic.wav"},
      {"out.wav", "sys", "out.sys.wav"},
      {"out", "mic", "out.mic.wav"},
      {"take.WAV", "sys", "take.WAV.sys.wav"},  // case-sensitive
      {"dir/rec.wav", "mic", "dir/rec.mic.wav"},
      {"a.wav.wav", "mic", "a.wav.mic.wav"},  // only one ".wav" goes
      {".wav", "mic", ".mic.wav"},
      {"", "sys", ".sys.wav"},
      {"x.wa", "mic", "x.wa.mic.wav"},
      {"dir.wav/rec", "mic", "dir.wav/rec.mic.wav"},
      {"/tmp/über → take.wav", "sys", "/tmp/über → take.sys.wav"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " + " + c.label);
    EXPECT_EQ(channelPath(c.path, c.label), c.want);
  }
}

}  // namespace
