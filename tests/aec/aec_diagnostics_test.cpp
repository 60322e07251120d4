#include "aec/aec_diagnostics.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "test_signals.hpp"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

AecStats stats(std::vector<DelaySeg> segs, double rate, bool applied, float msIn, float msOut,
               int64_t frames, int64_t farEnd, int64_t active, float cohSum, float cohMax) {
  return AecStats{rate, std::move(segs), frames, farEnd, active, cohSum, cohMax, applied, msIn, msOut};
}

}  // namespace

TEST(AecDiagnostics, LineFormatByteForByte) {
  struct Row {
    AecStats stats;
    const char* line;
  };
  std::vector<DelaySeg> eight;
  for (int i = 0; i < 8; ++i) eight.push_back({i * 10000, 10 * (i + 1)});
  const Row rows[] = {
      {stats({{0, 733}, {480000, 733}, {960000, 733}}, 48000.0, true, 1.0f, 0.5f, 2344, 2000,
             1172, 1500.0f, 0.987f),
       "[aec] applied=yes delayMs=[15,15,15] frames=2344 farEnd=85% engaged=50% cohMean=0.64 "
       "cohMax=0.99 mic\xCE\x94=-3.0dB"},
      // A rejected result louder than the input still shows its level change.
      {stats({{0, 0}}, 48000.0, false, 0.01f, 0.04f, 2, 1, 0, 0.0f, 0.0f),
       "[aec] applied=no(reverted) delayMs=[0] frames=2 farEnd=50% engaged=0% cohMean=0.00 "
       "cohMax=0.00 mic\xCE\x94=6.0dB"},
      // A silent track (mean square at or below 1e-12) reports 0.0 dB, not -inf.
      {stats({{0, -733}}, 48000.0, true, 1.0f, 1e-12f, 2, 1, 0, 0.0f, 0.0f),
       "[aec] applied=yes delayMs=[-15] frames=2 farEnd=50% engaged=0% cohMean=0.00 "
       "cohMax=0.00 mic\xCE\x94=0.0dB"},
      // Only the first six delays are shown.
      {stats(eight, 1000.0, true, 1.0f, 1.0f, 4, 0, 0, 0.0f, 0.0f),
       "[aec] applied=yes delayMs=[10,20,30,40,50,60] frames=4 farEnd=0% engaged=0% "
       "cohMean=0.00 cohMax=0.00 mic\xCE\x94=0.0dB"},
  };
  for (const Row& r : rows) EXPECT_EQ(formatAecLine(r.stats), r.line);
}

TEST(AecLog, CreatedThenAppendedUnderHomeWithOrWithoutSlash) {
  ScopedHome home;
  EXPECT_EQ(aecLogPath(), home.logPath());
  appendAecLog("[aec] first");
  EXPECT_EQ(readFile(home.logPath()), "[aec] first\n");
  setenv("HOME", (home.dir() + "/").c_str(), 1);
  appendAecLog("[aec] second");
  EXPECT_EQ(readFile(home.logPath()), "[aec] first\n[aec] second\n");
}

TEST(AecLog, FailuresAreSilentAndNoHomeFallsBackToThePasswordEntry) {
  ScopedHome home;
  // A home that does not exist, and a log path that is a directory.
  setenv("HOME", (home.dir() + "/missing/deeper").c_str(), 1);
  appendAecLog("[aec] lost");
  setenv("HOME", home.dir().c_str(), 1);
  ASSERT_EQ(mkdir(home.logPath().c_str(), 0755), 0);
  appendAecLog("[aec] lost too");
  struct stat sb{};
  ASSERT_EQ(stat(home.logPath().c_str(), &sb), 0);
  EXPECT_TRUE(S_ISDIR(sb.st_mode));
  unsetenv("HOME");
  const std::string path = aecLogPath();
  ASSERT_GE(path.size(), 15u);
  EXPECT_EQ(path.substr(path.size() - 15), "/.narup-aec.log");
}
