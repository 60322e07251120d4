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

}  // namespace

TEST(AecDiagnostics, LineFormatByteForByte) {
  const std::vector<DelaySeg> segs{{0, 733}, {480000, 733}, {960000, 733}};
  AecStats st;
  st.frames = 2344;
  st.farEnd = 2000;  // 85.32 %
  st.active = 1172;  // 50 %
  st.cohSum = 1500.0f;
  st.cohMax = 0.987f;
  EXPECT_EQ(formatAecDiagnostics(segs, 48000.0, true, 1.0f, 0.5f, st),
            "[aec] applied=yes delayMs=[15,15,15] frames=2344 farEnd=85% engaged=50% "
            "cohMean=0.64 cohMax=0.99 mic\xCE\x94=-3.0dB");
}

TEST(AecDiagnostics, RevertedSilentAndNegative) {
  AecStats st;
  st.frames = 2;
  st.farEnd = 1;
  // A rejected result louder than the input still shows its level change.
  EXPECT_EQ(formatAecDiagnostics({{0, 0}}, 48000.0, false, 0.01f, 0.04f, st),
            "[aec] applied=no(reverted) delayMs=[0] frames=2 farEnd=50% engaged=0% cohMean=0.00 "
            "cohMax=0.00 mic\xCE\x94=6.0dB");
  // A silent track (mean square at or below 1e-12) reports 0.0 dB, not -inf.
  EXPECT_EQ(formatAecDiagnostics({{0, -733}}, 48000.0, true, 0.0f, 0.0f, st),
            "[aec] applied=yes delayMs=[-15] frames=2 farEnd=50% engaged=0% cohMean=0.00 "
            "cohMax=0.00 mic\xCE\x94=0.0dB");
  EXPECT_NE(formatAecDiagnostics({{0, 0}}, 48000.0, true, 1.0f, 1e-12f, st).find("=0.0dB"),
            std::string::npos);
}

TEST(AecDiagnostics, ShowsOnlyTheFirstSixDelays) {
  std::vector<DelaySeg> segs;
  for (int i = 0; i < 8; ++i) segs.push_back({i * 10000, 10 * (i + 1)});
  AecStats st;
  st.frames = 4;
  const std::string line = formatAecDiagnostics(segs, 1000.0, true, 1.0f, 1.0f, st);
  EXPECT_NE(line.find("delayMs=[10,20,30,40,50,60] "), std::string::npos) << line;
}

TEST(AecLog, CreatedThenAppended) {
  ScopedHome home;
  EXPECT_EQ(aecLogPath(), home.logPath());
  appendAecLog("[aec] first");
  EXPECT_EQ(readFile(home.logPath()), "[aec] first\n");
  appendAecLog("[aec] second");
  EXPECT_EQ(readFile(home.logPath()), "[aec] first\n[aec] second\n");
}

TEST(AecLog, HomeWithTrailingSlash) {
  ScopedHome home;
  setenv("HOME", (home.dir() + "/").c_str(), 1);
  EXPECT_EQ(aecLogPath(), home.logPath());
}

TEST(AecLog, FailuresAreSilent) {
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
}

TEST(AecLog, NoHomeFallsBackToThePasswordEntry) {
  ScopedHome home;
  unsetenv("HOME");
  const std::string path = aecLogPath();
  EXPECT_FALSE(path.empty());
  EXPECT_EQ(path.substr(path.size() - 15), "/.narup-aec.log");
}
