#include "aec/aec_diagnostics.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>


namespace {

// HOME points at a fresh folder for the test's life.
struct ScopedHome {
  ScopedHome() : old(std::getenv("HOME")) { setenv("HOME", mkdtemp(dir), 1); }
  ~ScopedHome() {
    std::filesystem::remove_all(dir);
    old ? setenv("HOME", old, 1) : unsetenv("HOME");
  }
  std::string logPath() const { return std::string(dir) + "/.narup-aec.log"; }
  char dir[32] = "/tmp/narup_aec_home.XXXXXX";
  const char* old;
};

std::string readFile(const std::string& path) {
  std::ostringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

}  // namespace

TEST(AecDiagnostics, LineFormatByteForByte) {
  // Rate, delays, frames, far end, engaged, coherence sum and peak, applied,
  // mean squares of the microphone and of the result; the line.
  std::vector<DelaySeg> eight;
  for (int i = 0; i < 8; ++i) eight.push_back({i * 10000, 10 * (i + 1)});
  const std::pair<AecStats, const char*> rows[] = {
      {{48000.0, {{0, 733}, {480000, 733}, {960000, 733}}, 2344, 2000, 1172, 1500.0f, 0.987f, true, 1.0f, 0.5f},
       "[aec] applied=yes delayMs=[15,15,15] frames=2344 farEnd=85% engaged=50% cohMean=0.64 "
       "cohMax=0.99 mic\xCE\x94=-3.0dB"},
      // A rejected result louder than the input still shows its level change.
      {{48000.0, {{0, 0}}, 2, 1, 0, 0.0f, 0.0f, false, 0.01f, 0.04f},
       "[aec] applied=no(reverted) delayMs=[0] frames=2 farEnd=50% engaged=0% cohMean=0.00 "
       "cohMax=0.00 mic\xCE\x94=6.0dB"},
      // A silent track (mean square at or below 1e-12) reports 0.0 dB, not -inf.
      {{48000.0, {{0, -733}}, 2, 1, 0, 0.0f, 0.0f, true, 1.0f, 1e-12f},
       "[aec] applied=yes delayMs=[-15] frames=2 farEnd=50% engaged=0% cohMean=0.00 "
       "cohMax=0.00 mic\xCE\x94=0.0dB"},
      // Only the first six delays are shown.
      {{1000.0, eight, 4, 0, 0, 0.0f, 0.0f, true, 1.0f, 1.0f},
       "[aec] applied=yes delayMs=[10,20,30,40,50,60] frames=4 farEnd=0% engaged=0% "
       "cohMean=0.00 cohMax=0.00 mic\xCE\x94=0.0dB"},
  };
  for (const auto& [stats, line] : rows) EXPECT_EQ(formatAecLine(stats), line);
}

TEST(AecLog, CreatedThenAppendedUnderHomeWithOrWithoutSlash) {
  ScopedHome home;
  EXPECT_EQ(aecLogPath(), home.logPath());
  appendAecLog("[aec] first");
  EXPECT_EQ(readFile(home.logPath()), "[aec] first\n");
  setenv("HOME", (std::string(home.dir) + "/").c_str(), 1);
  appendAecLog("[aec] second");
  EXPECT_EQ(readFile(home.logPath()), "[aec] first\n[aec] second\n");
}

TEST(AecLog, FailuresAreSilentAndNoHomeFallsBackToThePasswordEntry) {
  ScopedHome home;
  // A home that does not exist, and a log path that is a directory.
  setenv("HOME", (std::string(home.dir) + "/missing/deeper").c_str(), 1);
  appendAecLog("[aec] lost");
  setenv("HOME", home.dir, 1);
  ASSERT_EQ(mkdir(home.logPath().c_str(), 0755), 0);
  appendAecLog("[aec] lost too");
  EXPECT_TRUE(std::filesystem::is_directory(home.logPath()));
  unsetenv("HOME");
  const std::string path = aecLogPath();
  ASSERT_GE(path.size(), 15u);
  EXPECT_EQ(path.substr(path.size() - 15), "/.narup-aec.log");
}
