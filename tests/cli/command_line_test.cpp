#include "cli/command_line.hpp"

#include <gtest/gtest.h>

namespace {

Mode parse(std::initializer_list<const char*> rest) {
  std::vector<std::string> args{"narup-capture"};
  args.insert(args.end(), rest.begin(), rest.end());
  return parseCommandLine(args);
}

TEST(CommandLine, ModePrecedence) {
  const std::pair<Mode, Mode> cases[] = {
      {parseCommandLine({}), UsageFailure{}},
      {parse({}), UsageFailure{}},
      {parse({"out.wav", "--self-test"}), SelfTestMode{}},
      {parse({"--process-files", "m", "s", "o", "--self-test"}), SelfTestMode{}},
      {parse({"--process-files", "m", "s", "o", "--list-input-devices"}), ProcessFilesMode{}},
      {parse({"--list-output-devices", "--list-input-devices"}), ListInputDevicesMode{}},
      {parse({"--set-output-device", "x", "--list-output-devices"}), ListOutputDevicesMode{}},
      {parse({"a", "--set-output-device", "x"}), SetOutputDeviceMode{}},
      {parse({"--set-output-device", "x", "--recover", "o"}), SetOutputDeviceMode{}},
      {parse({"a", "--recover", "o"}), RecoverMode{}},
      {parse({"--recover"}), RecoverUsageFailure{}},
      {parse({"out.wav", "--mic", "--recover"}), RecoverUsageFailure{}},
      {parse({"--help"}), HelpMode{}},
      {parse({"--version"}), VersionMode{}},
      // Help and version only as the one argument; flags are whole strings.
      {parse({"--help", "--version"}), CaptureMode{}},
      {parse({"--version", "--list-output-devices"}), ListOutputDevicesMode{}},
      {parse({"--Self-Test"}), CaptureMode{}},
      {parse({"--self-test=1"}), CaptureMode{}},
      // A loudness no mode that writes can use fails before any of them runs.
      {parse({"--process-files", "m", "s", "o", "--loudness", "-71"}), LoudnessUsageFailure{}},
      {parse({"--recover", "o", "--loudness", "1"}), LoudnessUsageFailure{}},
      {parse({"out.wav", "--loudness"}), LoudnessUsageFailure{}},
      {parse({"out.wav", "--loudness", "-16dB"}), LoudnessUsageFailure{}},
      {parse({"out.wav", "--loudness", "nan"}), LoudnessUsageFailure{}},
      {parse({"--list-input-devices", "--loudness"}), ListInputDevicesMode{}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].first.index(), cases[i].second.index()) << i;
}

// std::get throws, and so fails the test, when the mode is another one.
TEST(CommandLine, ValuesAreTakenByPositionAndShortFormsFallThrough) {
  const auto p = std::get<ProcessFilesMode>(parse({"x", "--process-files", "--mic", "s", "o"}));
  EXPECT_EQ(p.micPath + p.sysPath + p.outPath, "--micso");
  EXPECT_EQ(std::get<SetOutputDeviceMode>(parse({"--set-output-device", "--x"})).uid, "--x");
  // Too few values: the flag is skipped and may become the output path.
  EXPECT_EQ(std::get<CaptureMode>(parse({"--process-files", "a.wav", "b.wav"})).outPath, "--process-files");
  EXPECT_EQ(std::get<CaptureMode>(parse({"--set-output-device"})).outPath, "--set-output-device");
  EXPECT_EQ(std::get<CaptureMode>(parse({"--help", "x"})).outPath, "--help");
  EXPECT_EQ(std::get<CaptureMode>(parse({"out.wav", "--help"})).outPath, "out.wav");
  const auto r = std::get<RecoverMode>(parse({"--no-echo-cancel", "--recover", "o", "--aec=adaptive"}));
  EXPECT_EQ(std::make_tuple(r.outPath, r.wantEchoCancel, r.adaptiveAec), std::make_tuple("o", false, true));
  EXPECT_TRUE(std::get<ProcessFilesMode>(parse({"--aec=adaptive", "--process-files", "m", "s", "o"})).adaptiveAec);
  EXPECT_FALSE(std::get<CaptureMode>(parse({"--aec=adaptive", "out.wav"})).adaptiveAec);
  EXPECT_TRUE(std::get<CaptureMode>(parse({"out.wav", "--aec=adaptive"})).adaptiveAec);
  EXPECT_EQ(std::get<CaptureMode>(parse({"out.flac", "--loudness", "-23.5"})).loudness, -23.5);
  EXPECT_EQ(std::get<RecoverMode>(parse({"--loudness", "-70", "--recover", "o"})).loudness, -70.0);
  EXPECT_EQ(std::get<ProcessFilesMode>(parse({"--process-files", "m", "s", "o", "--loudness", "0"})).loudness, 0.0);
  EXPECT_EQ(std::get<CaptureMode>(parse({"out.flac"})).loudness, std::nullopt);
}

TEST(CommandLine, CaptureFlagsAfterTheOutputPath) {
  const std::tuple<Mode, bool, bool, bool, std::optional<std::string>> cases[] = {
      // mode, system, mic, echo cancel, microphone id
      {parse({"out.wav"}), true, true, true, {}},
      {parse({"out.wav", "--system"}), true, false, true, {}},
      {parse({"out.wav", "--mic", "--mic", "--no-echo-cancel"}), false, true, false, {}},
      {parse({"out.wav", "--mic", "--system"}), true, true, true, {}},
      {parse({"out.wav", "--mic-device", "X", "--mic-device", "Y"}), true, true, true, "X"},
      {parse({"out.wav", "--system", "--mic-device", "X"}), true, false, true, "X"},
      {parse({"out.wav", "--mic-device"}), true, true, true, {}},
      {parse({"out.wav", "--mic-device", "--mic"}), false, true, true, "--mic"},  // still a flag too
      {parse({"--system", "out.wav"}), true, true, true, {}},  // only after the output path
      {parse({"--mic-device", "X"}), true, true, true, {}},
  };
  // The sink to record is looked up the same way, after the output path.
  EXPECT_EQ(std::get<CaptureMode>(parse({"out.wav", "--system-device", "sink-b", "--system-device", "x"})).systemDeviceUID,
            "sink-b");
  EXPECT_EQ(std::get<CaptureMode>(parse({"out.wav", "--system-device", "--mic"})).systemDeviceUID, "--mic");
  EXPECT_EQ(std::get<CaptureMode>(parse({"--system-device", "s", "out.wav"})).systemDeviceUID, std::nullopt);
  EXPECT_EQ(std::get<CaptureMode>(parse({"out.wav", "--system-device"})).systemDeviceUID, std::nullopt);
  for (const auto& [mode, system, mic, echoCancel, uid] : cases) {
    const auto m = std::get<CaptureMode>(mode);
    EXPECT_EQ(std::make_tuple(m.wantSystem, m.wantMic, m.wantEchoCancel, m.micDeviceUID),
              std::make_tuple(system, mic, echoCancel, uid)) << m.outPath;
  }
}

}  // namespace
