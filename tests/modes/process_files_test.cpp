// The "--process-files" mode in process: its status, its exact lines, the
// output left alone on failure, the canceller asked for only after both reads.
#include "modes/process_files.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "aec/echo_canceller.hpp"
#include "audio/wav.hpp"
#include "support/stderr_capture.hpp"

namespace fs = std::filesystem;

class ProcessFiles : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir);
    ::setenv("HOME", dir.c_str(), 1);  // the canceller's log goes there
    std::vector<float> x(72000);
    for (size_t i = 0; i < x.size(); ++i) x[i] = 0.2f * static_cast<float>(std::sin(0.07 * i) + std::sin(0.3 * i));
    writeWav16(x, 48000, mic);
    writeWav16(std::vector<float>(x.begin(), x.begin() + 44100), 44100.9, sys);
  }
  void TearDown() override { fs::remove_all(dir); }

  int run(const std::string& micPath, const std::string& sysPath, const std::string& out, bool noCanceller = false) {
    return processFilesWith(micPath, sysPath, out, [&] {
      ++cancellersAsked;
      return noCanceller ? nullptr : EchoCanceller::create();
    });
  }
  static std::string contentOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  const std::string dir = fs::temp_directory_path() / ("narup-process-files-" + std::to_string(::getpid()));
  const std::string mic = dir + "/mic.wav", sys = dir + "/sys.wav", missing = dir + "/missing.wav";
  int cancellersAsked = 0;
};

TEST_F(ProcessFiles, FailuresNameTheFirstUnusableInputAndLeaveTheOutputAlone) {
  const std::tuple<std::string, std::string, bool, std::string> cases[] = {
      {missing, sys, false, "cannot read mic wav: " + missing},
      {missing, dir, false, "cannot read mic wav: " + missing},
      {mic, dir, false, "cannot read sys wav: " + dir},
      {mic, sys, true, "EchoCanceller init failed"},
  };
  for (const auto& [micPath, sysPath, noCanceller, line] : cases) {
    std::ofstream(dir + "/out.wav") << "previous take";
    cancellersAsked = 0;
    StderrCapture err;
    EXPECT_EQ(run(micPath, sysPath, dir + "/out.wav", noCanceller), 1);
    EXPECT_EQ(err.text(), "narup-capture [FAIL] " + line + "\n");
    EXPECT_EQ(cancellersAsked, noCanceller ? 1 : 0);
    EXPECT_EQ(contentOf(dir + "/out.wav"), "previous take");
  }
}

TEST_F(ProcessFiles, WritesTheMicsLengthAtTheMicsRateUnderTheExactPath) {
  const std::tuple<std::string, std::string, std::string, int> cases[] = {
      {mic, dir + "/out", "mic 72000@48000 + sys 44100@44100", 72000},
      {std::string(NARUP_TEST_DATA) + "/one_odd_byte.wav", dir + "/empty.wav", "mic 0@48000 + sys 44100@44100", 0},
      {mic, dir + "/no-dir/out.wav", "mic 72000@48000 + sys 44100@44100", -1},  // unwritable
  };
  for (const auto& [micPath, out, counts, samples] : cases) {
    StderrCapture err;
    EXPECT_EQ(run(micPath, sys, out), 0);
    const auto lines = err.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front(), "narup-capture: process-files: " + counts);
    for (size_t i = 1; i + 1 < lines.size(); ++i) EXPECT_EQ(lines[i].rfind("narup-capture: [aec] ", 0), 0u);
    EXPECT_EQ(lines.back(), "narup-capture: wrote cleaned mic → " + out);
    const std::string bytes = contentOf(out);
    EXPECT_EQ(bytes.size(), samples < 0 ? 0u : 44u + 2 * samples);
    EXPECT_EQ(bytes.substr(std::min<size_t>(22, bytes.size()), 6),
              samples < 0 ? "" : std::string("\x01\x00\x80\xbb\x00\x00", 6));  // mono, 48 kHz
  }
  EXPECT_FALSE(fs::exists(dir + "/out.wav"));  // no name of its own
}
