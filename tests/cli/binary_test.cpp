// The real binary: every mode's exit status and both streams' exact bytes, with
// no sound server to reach and, where marked, a standard error nobody reads.
#include <gtest/gtest.h>

#include <filesystem>

#include "cli/command_line.hpp"
#include "support/run_process.hpp"

TEST(Binary, ExitStatusAndBothStreamsOfEveryMode) {
  const auto dir = std::filesystem::temp_directory_path() / ("narup-binary-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string wav = std::string(NARUP_TEST_DATA) + "/mono_16k.wav", out = dir / "out.wav";
  const std::string usage = std::string("narup-capture [FAIL] ") + kUsage + "\n", kNone = R"({"default":"","devices":[]})";
  const std::tuple<std::vector<std::string>, bool, int, std::string, std::string> cases[] = {
      // args[0] is the name the program is started by; the lines' name is fixed.
      {{"narup-capture"}, false, 1, "", usage},
      {{"/elsewhere/other-name"}, false, 1, "", usage},
      {{"narup-capture", "--help"}, false, 0, kHelp, ""},
      {{"narup-capture", "--version"}, false, 0, "narup-capture " NARUP_VERSION "\n", ""},
      {{"narup-capture", "--help", "--process-files", "/no/m.wav", "/no/s.wav", "/no/o.wav", "--list-input-devices"},
       false, 1, "", "narup-capture [FAIL] cannot read mic wav: /no/m.wav\n"},
      {{"narup-capture", "--list-input-devices"}, false, 0, kNone, ""},
      {{"narup-capture", "--set-output-device", "x"}, false, 1, "", "narup-capture [FAIL] output device 'x' not found\n"},
      {{"narup-capture", "--self-test"}, true, 0, "", ""},
      {{"narup-capture", "--process-files", wav, wav, out}, true, 0, "", ""},
      {{"narup-capture", "out.wav", "--loudness", "-99"}, false, 1, "", std::string("narup-capture [FAIL] ") + kLoudnessUsage + "\n"},
  };
  ::setenv("HOME", dir.c_str(), 1);
  ::setenv("PULSE_SERVER", "unix:/nonexistent/native", 1);  // no sound server
  for (const auto& [args, brokenStderr, status, stdOut, stdErr] : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    const ProcessResult r = runProcess(NARUP_BINARY, args, brokenStderr);
    EXPECT_EQ(r.exitStatus, status);
    EXPECT_EQ(r.out, stdOut);
    EXPECT_EQ(r.err, stdErr);
  }
  EXPECT_TRUE(std::filesystem::exists(out));  // written with nobody left to read its lines
  std::filesystem::remove_all(dir);
  for (const char* flag : {"--system", "--mic", "--mic-device", "--no-echo-cancel", "--aec=adaptive", "--recover",
                           "--process-files", "--self-test", "--list-input-devices", "--list-output-devices",
                           "--set-output-device", "--loudness", "--help", "--version"}) {
    EXPECT_NE(std::string(kHelp).find(std::string("\n  ") + flag + " "), std::string::npos) << flag;
  }
}
