// Interchange with a real WAV implementation: sox reads what we write as
// the format rules say. (Reading the layouts other tools write is pinned
// down bit for bit by the crafted files of the reader tests.) Skipped
// without sox.
#include <gtest/gtest.h>

#include "wav_test_support.hpp"

namespace {

using wavtest::fileBytes;

std::string shell(const std::string& cmd) {  // its standard output
  std::string out(1 << 16, '\0');
  FILE* p = ::popen(cmd.c_str(), "r");
  out.resize(std::fread(out.data(), 1, out.size(), p));
  return ::pclose(p), out;
}

// The samples sox decodes from `file`, as signed 16-bit values.
std::vector<int16_t> soxSamples(const std::filesystem::path& file) {
  shell("sox '" + file.string() + "' -t raw -e signed-integer -b 16 -L '" + file.string() + ".raw'");
  const auto raw = fileBytes(file.string() + ".raw");
  std::vector<int16_t> v(raw.size() / 2);
  std::memcpy(v.data(), raw.data(), 2 * v.size());  // little-endian, as the machine
  return v;
}

class SoxInterchange : public testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v sox >/dev/null 2>&1 && command -v soxi >/dev/null 2>&1") != 0) GTEST_SKIP() << "no sox";
  }
  wavtest::ScratchDir dir_{"wav-sox"};
};

TEST_F(SoxInterchange, SoxSeesTheRateLengthAndSamplesWeWrote) {
  std::vector<float> x;
  std::vector<int16_t> want;
  for (int i = 0; i < 1000; ++i) {
    const float s = static_cast<float>(i - 500) / 400.0f;  // runs past both ends of full scale
    x.push_back(s);
    want.push_back(s >= 1.0f ? 32767 : static_cast<int16_t>((s < -1.0f ? -1.0f : s) * 32767.0f));
  }
  const auto path = dir_ / "ours.wav";
  writeWav16(x, 44100.6, path.string());
  EXPECT_EQ(shell("for o in -r -s -c -b -e; do soxi $o '" + path.string() + "' 2>&1; done"),
            "44100\n1000\n1\n16\nSigned Integer PCM\n");
  EXPECT_EQ(soxSamples(path), want);
}

}  // namespace
