// Interchange with a real WAV implementation: sox reads what we write as
// the format rules say. (Reading the layouts other tools write is pinned
// down bit for bit by the crafted files of the reader tests.) Skipped
// without sox.
#include <gtest/gtest.h>

#include <fcntl.h>

#include "audio/wav_float.hpp"
#include "wav_test_support.hpp"

namespace {

using wavtest::fileBytes;

std::string shell(const std::string& cmd) {  // its standard output
  std::string out(1 << 16, '\0');
  FILE* p = ::popen(cmd.c_str(), "r");
  out.resize(std::fread(out.data(), 1, out.size(), p));
  return ::pclose(p), out;
}

// The samples sox decodes from `file`, as signed 16-bit values (or as
// 32-bit floats), little-endian, as the machine holds them.
template <typename Sample = int16_t>
std::vector<Sample> soxSamples(const std::filesystem::path& file) {
  const char* as = sizeof(Sample) == 2 ? "-e signed-integer -b 16" : "-e floating-point -b 32";
  shell("sox '" + file.string() + "' -t raw " + as + " -L '" + file.string() + ".raw' 2>/dev/null");
  const auto raw = fileBytes(file.string() + ".raw");
  std::vector<Sample> v(raw.size() / sizeof(Sample));
  std::memcpy(v.data(), raw.data(), sizeof(Sample) * v.size());
  return v;
}

std::string soxInfo(const std::filesystem::path& file) {
  return shell("for o in -r -s -c -b -e; do soxi $o '" + file.string() + "' 2>&1; done");
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

// Past 4 GiB, sparse files: sox reading 4 GB to their end takes minutes,
// so what is checked is that sox takes the RF64 header (the 64-bit length)
// and decodes samples from where the header says they start, in a copy of
// the file cut after its first samples. The lengths are the first ones past
// the RIFF header's reach: sox then looks for chunks after the data at
// data start + (data size mod 2^32), which for these is the file's end;
// for longer files it lands inside the data and reads samples as chunk
// headers: audio gives sizes that hop to the end in a few steps, a hole of
// zeros makes it step 8 bytes at a time (minutes for 4 GB).
TEST_F(SoxInterchange, SoxTakesTheRf64HeaderOfATakePastFourGiB) {
  const auto path = dir_ / "long.wav";
  const std::vector<float> head = {0.5f, -0.25f, 0.125f, -1.0f}, tail = {0.75f};
  ASSERT_TRUE(wavtest::writeSparseWav16(path, 2147483630, 48000, head, tail));
  EXPECT_EQ(soxInfo(path), "48000\n2147483630\n1\n16\nSigned Integer PCM\n");
  wavtest::copyHead(path, dir_ / "cut.wav", 80 + 2 * head.size());
  EXPECT_EQ(soxSamples(dir_ / "cut.wav"), (std::vector<int16_t>{16383, -8191, 4095, -32767}));
}

TEST_F(SoxInterchange, SoxTakesTheSpoolBothBeforeAndAfterItTurnsRf64) {
  const auto path = dir_ / "sys.wav";
  const std::vector<float> head = {0.5f, -0.25f, 0.375f};  // exact through sox's 32-bit integers
  for (const std::uint64_t frames : {std::uint64_t{1073741805}, std::uint64_t{1073741806}}) {
    SCOPED_TRACE(frames);  // the longest RIFF spool, then RF64
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    const auto h = wavHeaderFloat32(frames, 44100);
    ASSERT_EQ(::pwrite(fd, h.data(), h.size(), 0), 82);
    ASSERT_EQ(::pwrite(fd, head.data(), 12, 82), 12);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(82 + 4 * frames)), 0);
    ::close(fd);
    EXPECT_EQ(soxInfo(path), "44100\n" + std::to_string(frames) + "\n1\n32\nFloating Point PCM\n");
    wavtest::copyHead(path, dir_ / "cut.wav", 82 + 12);
    EXPECT_EQ(soxSamples<float>(dir_ / "cut.wav"), head);
  }
}

}  // namespace
