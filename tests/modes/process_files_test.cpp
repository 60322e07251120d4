// The "--process-files" mode: exit statuses and exact console lines from the
// real binary, the output path left alone on failure, and the canceller's
// set-up failure through the in-process variant.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "aec/echo_canceller.hpp"
#include "audio/wav.hpp"
#include "audio/wav_test_support.hpp"
#include "modes/process_files.hpp"
#include "support/run_process.hpp"
#include "support/stderr_capture.hpp"

namespace {

namespace fs = std::filesystem;
using wavtest::fileBytes;

const std::string kBinary = NARUP_BINARY;

void putFile(const fs::path& p, const std::string& content) {
  std::ofstream(p, std::ios::binary) << content;
}

// A test sinusoid with a little noise-like wobble, so that the canceller
// has something to look at.
std::vector<float> tone(size_t n, double freq, double rate, float amp) {
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rate;
    x[i] = amp * static_cast<float>(std::sin(6.283185307179586 * freq * t) +
                                    0.3 * std::sin(6.283185307179586 * 3.1 * freq * t));
  }
  return x;
}

// An interleaved stereo 16-bit file of the given frames.
void writeStereo(const fs::path& p, const std::vector<std::pair<int16_t, int16_t>>& frames,
                 uint32_t rate) {
  const auto dataSize = static_cast<uint32_t>(4 * frames.size());
  wavtest::Bytes b;
  b.str("RIFF").u32(36 + dataSize).str("WAVEfmt ").u32(16).u16(1).u16(2).u32(rate);
  b.u32(rate * 4).u16(4).u16(16).str("data").u32(dataSize);
  for (const auto& [l, r] : frames) b.i16(l).i16(r);
  putFile(p, std::string(b.v.begin(), b.v.end()));
}

// A scratch folder per test, with a home for the canceller's log.
class ProcessFilesScratch : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("narup-process-files-" + std::to_string(::getpid()) + "-" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "home");
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
};

// The tests that run the real binary; it is a build dependency of this test
// program, so it is only missing when the test program was built alone.
class ProcessFiles : public ProcessFilesScratch {
 protected:
  void SetUp() override {
    if (!fs::exists(kBinary)) GTEST_SKIP() << "narup-capture binary not built at " << kBinary;
    ProcessFilesScratch::SetUp();
  }

  // Runs the binary's --process-files mode with HOME in the scratch folder
  // (the canceller appends its diagnostics to $HOME/.narup-aec.log).
  ProcessResult run(const fs::path& mic, const fs::path& sys, const fs::path& out) {
    return runProcess({kBinary, "--process-files", mic.string(), sys.string(), out.string()},
                      {{"HOME", (dir_ / "home").string()}}, 120.0);
  }

  // Success: the count line first, the written line last, and between them
  // at most the canceller's own "[aec] " summary.
  void expectSuccessLines(const ProcessResult& r, const std::string& countLine,
                          const fs::path& out) {
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "");
    const auto lines = linesOf(r.err);
    ASSERT_GE(lines.size(), 2u) << r.err;
    EXPECT_EQ(lines.front(), "narup-capture: " + countLine);
    EXPECT_EQ(lines.back(), "narup-capture: wrote cleaned mic → " + out.string());
    for (size_t i = 1; i + 1 < lines.size(); ++i)
      EXPECT_EQ(lines[i].rfind("narup-capture: [aec] ", 0), 0u) << lines[i];
  }
};

TEST_F(ProcessFiles, UnusableInputsFailWithTheFirstOneNamedAndTheOutputUntouched) {
  const fs::path good = dir_ / "good.wav";
  writeWav16(tone(4800, 440, 48000, 0.3f), 48000, good.string());
  const fs::path missing = dir_ / "missing.wav";
  const fs::path notWav = dir_ / "notes.txt";
  putFile(notWav, std::string(100, 'x'));
  const fs::path bits24 = fs::path(NARUP_TEST_DATA) / "bits24.wav";
  const fs::path out = dir_ / "out.wav";
  const std::string before = "previous take, must survive";

  struct Case {
    const char* why;
    fs::path mic, sys;
    std::string line;
  };
  const Case cases[] = {
      {"missing mic", missing, good, "cannot read mic wav: " + missing.string()},
      {"both unreadable: only the mic", missing, notWav, "cannot read mic wav: " + missing.string()},
      {"24-bit mic", bits24, missing, "cannot read mic wav: " + bits24.string()},
      {"mic is a directory", dir_, good, "cannot read mic wav: " + dir_.string()},
      {"missing sys", good, missing, "cannot read sys wav: " + missing.string()},
      {"sys not a WAV", good, notWav, "cannot read sys wav: " + notWav.string()},
      {"24-bit sys", good, bits24, "cannot read sys wav: " + bits24.string()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    putFile(out, before);
    const ProcessResult r = run(c.mic, c.sys, out);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "narup-capture [FAIL] " + c.line + "\n");
    EXPECT_EQ(r.out, "");
    const auto after = fileBytes(out);
    EXPECT_EQ(std::string(after.begin(), after.end()), before);
  }
  // A failure with no earlier output leaves no file either.
  fs::remove(out);
  EXPECT_EQ(run(good, missing, out).exitStatus, 1);
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(ProcessFiles, DifferentRatesAndLengthsGiveTheMicsRateAndLength) {
  const fs::path mic = dir_ / "mic.wav", sys = dir_ / "sys.wav", out = dir_ / "out.wav";
  writeWav16(tone(72000, 300, 48000, 0.2f), 48000, mic.string());
  writeWav16(tone(44100, 300, 44100, 0.4f), 44100.9, sys.string());
  const ProcessResult r = run(mic, sys, out);
  expectSuccessLines(r, "process-files: mic 72000@48000 + sys 44100@44100", out);
  const auto cleaned = readWav16(out.string());
  ASSERT_TRUE(cleaned);
  EXPECT_EQ(cleaned->rate, 48000.0);
  EXPECT_EQ(cleaned->samples.size(), 72000u);
  const auto bytes = fileBytes(out);
  ASSERT_GE(bytes.size(), 44u);
  EXPECT_EQ(bytes[22], 1);  // mono
  EXPECT_EQ(bytes.size(), 44u + 2 * 72000u);
}

TEST_F(ProcessFiles, StereoMicIsCleanedAsItsMonoAverage) {
  // A system track shorter than one analysis frame makes the canceller hand
  // the microphone back unchanged, so the output shows exactly what was read.
  const fs::path mic = dir_ / "mic.wav", sys = dir_ / "sys.wav", out = dir_ / "out.wav";
  std::vector<std::pair<int16_t, int16_t>> frames;
  for (int i = 0; i < 3000; ++i) frames.push_back({16384, static_cast<int16_t>(i % 3 == 0 ? 0 : -8192)});
  writeStereo(mic, frames, 16000);
  writeWav16(std::vector<float>(100, 0.1f), 16000, sys.string());
  const ProcessResult r = run(mic, sys, out);
  expectSuccessLines(r, "process-files: mic 3000@16000 + sys 100@16000", out);
  const auto bytes = fileBytes(out);
  ASSERT_EQ(bytes.size(), 44u + 2 * 3000u);
  EXPECT_EQ(bytes[22], 1);
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const auto v = static_cast<int16_t>(bytes[44 + 2 * i] | (bytes[45 + 2 * i] << 8));
    // (16384 + 0) / 2 -> 0.25 -> 8191; (16384 - 8192) / 2 -> 0.125 -> 4095
    EXPECT_EQ(v, i % 3 == 0 ? 8191 : 4095);
  }
}

TEST_F(ProcessFiles, OutputPathIsUsedExactlyAsGiven) {
  const fs::path mic = dir_ / "mic.wav", sys = dir_ / "sys.wav", out = dir_ / "out";
  writeWav16(tone(24000, 500, 48000, 0.2f), 48000, mic.string());
  writeWav16(tone(24000, 500, 48000, 0.2f), 48000, sys.string());
  const ProcessResult r = run(mic, sys, out);
  expectSuccessLines(r, "process-files: mic 24000@48000 + sys 24000@48000", out);
  EXPECT_TRUE(readWav16(out.string()));
  EXPECT_FALSE(fs::exists(dir_ / "out.wav"));
  EXPECT_FALSE(fs::exists(dir_ / "out.mic.wav"));
  EXPECT_FALSE(fs::exists(dir_ / "out.sys.wav"));
}

TEST_F(ProcessFiles, UnwritableOutputStillReportsTheWriteAndExitsZero) {
  const fs::path mic = dir_ / "mic.wav", sys = dir_ / "sys.wav";
  const fs::path out = dir_ / "no-such-dir" / "out.wav";
  writeWav16(tone(4800, 500, 48000, 0.2f), 48000, mic.string());
  writeWav16(tone(4800, 500, 48000, 0.2f), 48000, sys.string());
  const ProcessResult r = run(mic, sys, out);
  expectSuccessLines(r, "process-files: mic 4800@48000 + sys 4800@48000", out);
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(ProcessFiles, MicWithoutSamplesWritesAnEmptyTrack) {
  // 45 bytes, one odd data byte: a usable file holding no sample.
  const fs::path mic = fs::path(NARUP_TEST_DATA) / "one_odd_byte.wav";
  const fs::path sys = dir_ / "sys.wav", out = dir_ / "out.wav";
  writeWav16(tone(4800, 500, 48000, 0.2f), 48000, sys.string());
  const ProcessResult r = run(mic, sys, out);
  expectSuccessLines(r, "process-files: mic 0@48000 + sys 4800@48000", out);
  EXPECT_EQ(fileBytes(out).size(), 44u);
}

// The canceller cannot come up by itself on a working machine; the variant
// taking the factory stands in for it. The factory leaves a mark when it is
// asked, which shows it is only asked once both inputs were read (the
// death test forks without exec, so the mark lands in this test's folder).
TEST_F(ProcessFilesScratch, CancellerSetUpFailureIsFatalAndComesAfterBothReads) {
  const fs::path mic = dir_ / "mic.wav", sys = dir_ / "sys.wav", out = dir_ / "out.wav";
  const fs::path asked = dir_ / "factory-asked";
  writeWav16(tone(4800, 500, 48000, 0.2f), 48000, mic.string());
  writeWav16(tone(4800, 500, 48000, 0.2f), 48000, sys.string());
  const auto failing = [&]() -> std::unique_ptr<EchoCanceller> {
    putFile(asked, "yes");
    return nullptr;
  };
  EXPECT_EXIT(processFilesWith(mic.string(), sys.string(), out.string(), failing),
              testing::ExitedWithCode(1), "^narup-capture \\[FAIL\\] EchoCanceller init failed\n$");
  EXPECT_TRUE(fs::exists(asked));
  EXPECT_FALSE(fs::exists(out));

  fs::remove(asked);
  EXPECT_EXIT(processFilesWith(mic.string(), (dir_ / "none.wav").string(), out.string(), failing),
              testing::ExitedWithCode(1), "cannot read sys wav: ");
  EXPECT_FALSE(fs::exists(asked));
  EXPECT_FALSE(fs::exists(out));
}

}  // namespace
