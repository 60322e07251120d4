#include "cli/command_line.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> argv(std::initializer_list<const char*> rest) {
  std::vector<std::string> args{"narup-capture"};
  for (const char* a : rest) args.emplace_back(a);
  return args;
}

// The mode's value (a copy: the parsed Mode is a temporary in most cases).
template <typename T>
T as(const Mode& mode) {
  EXPECT_TRUE(std::holds_alternative<T>(mode));
  return std::holds_alternative<T>(mode) ? std::get<T>(mode) : T{};
}

TEST(CommandLine, NoOutputPathIsTheUsageFailure) {
  EXPECT_TRUE(std::holds_alternative<UsageFailure>(parseCommandLine(argv({}))));
  EXPECT_TRUE(std::holds_alternative<UsageFailure>(parseCommandLine({})));
}

TEST(CommandLine, ModePrecedence) {
  struct Case {
    std::vector<std::string> args;
    size_t modeIndex;
  };
  const std::vector<Case> cases = {
      {argv({"out.wav", "--self-test"}), Mode(SelfTestMode{}).index()},
      {argv({"--self-test", "--list-input-devices"}), Mode(SelfTestMode{}).index()},
      {argv({"--process-files", "m", "s", "o", "--self-test"}), Mode(SelfTestMode{}).index()},
      {argv({"--process-files", "m.wav", "s.wav", "o.wav", "--list-input-devices"}),
       Mode(ProcessFilesMode{}).index()},
      {argv({"--list-output-devices", "--list-input-devices"}),
       Mode(ListInputDevicesMode{}).index()},
      {argv({"--set-output-device", "x", "--list-output-devices"}),
       Mode(ListOutputDevicesMode{}).index()},
      {argv({"a", "--set-output-device", "x"}), Mode(SetOutputDeviceMode{}).index()},
      // Flags are whole, case-sensitive strings.
      {argv({"--Self-Test"}), Mode(CaptureMode{}).index()},
      {argv({"--self-test=1"}), Mode(CaptureMode{}).index()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    EXPECT_EQ(parseCommandLine(c.args).index(), c.modeIndex);
  }
}

TEST(CommandLine, ProcessFilesTakesThreePathsByPosition) {
  const auto m = as<ProcessFilesMode>(parseCommandLine(argv({"x", "--process-files", "--mic", "s", "o"})));
  EXPECT_EQ(m.micPath, "--mic");
  EXPECT_EQ(m.sysPath, "s");
  EXPECT_EQ(m.outPath, "o");
}

TEST(CommandLine, ProcessFilesWithTooFewPathsFallsThroughToCapture) {
  const auto m = as<CaptureMode>(parseCommandLine(argv({"--process-files", "a.wav", "b.wav"})));
  EXPECT_EQ(m.outPath, "--process-files");
  EXPECT_TRUE(m.wantSystem);
  EXPECT_TRUE(m.wantMic);
}

TEST(CommandLine, SetOutputDeviceAsLastArgumentIsSkipped) {
  const auto m = as<CaptureMode>(parseCommandLine(argv({"--set-output-device"})));
  EXPECT_EQ(m.outPath, "--set-output-device");
  const auto s = as<SetOutputDeviceMode>(parseCommandLine(argv({"--set-output-device", "--x"})));
  EXPECT_EQ(s.uid, "--x");
  // The first occurrence decides, even when a later one has a value.
  EXPECT_TRUE(std::holds_alternative<CaptureMode>(
      parseCommandLine(argv({"out.wav", "--process-files", "a", "b"}))));
}

TEST(CommandLine, SourceSelection) {
  struct Case {
    std::vector<std::string> args;
    bool system, mic;
  };
  const std::vector<Case> cases = {
      {argv({"out.wav"}), true, true},
      {argv({"out.wav", "--system"}), true, false},
      {argv({"out.wav", "--mic"}), false, true},
      {argv({"out.wav", "--mic", "--system"}), true, true},
      {argv({"out.wav", "--mic", "--mic"}), false, true},
      {argv({"out.wav", "--mic-device", "X"}), true, true},
      {argv({"out.wav", "--system", "--mic-device", "X"}), true, false},
      // The value after --mic-device is still a member of the flag set.
      {argv({"out.wav", "--mic-device", "--mic"}), false, true},
      // Capture flags are looked up only after the output path.
      {argv({"--system", "out.wav"}), true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const auto m = as<CaptureMode>(parseCommandLine(c.args));
    EXPECT_EQ(m.wantSystem, c.system);
    EXPECT_EQ(m.wantMic, c.mic);
  }
}

TEST(CommandLine, OutputPathIsElementOneWhateverItHolds) {
  EXPECT_EQ(as<CaptureMode>(parseCommandLine(argv({"--system", "out.wav"}))).outPath, "--system");
  EXPECT_EQ(as<CaptureMode>(parseCommandLine(argv({"dir/rec", "--mic"}))).outPath, "dir/rec");
}

TEST(CommandLine, MicDeviceAndEchoCancel) {
  const auto a = as<CaptureMode>(parseCommandLine(argv({"o.wav", "--mic-device", "X", "--mic-device", "Y"})));
  EXPECT_EQ(a.micDeviceUID, std::optional<std::string>("X"));
  EXPECT_TRUE(a.wantEchoCancel);

  const auto b = as<CaptureMode>(parseCommandLine(argv({"o.wav", "--no-echo-cancel", "--mic-device"})));
  EXPECT_EQ(b.micDeviceUID, std::nullopt);
  EXPECT_FALSE(b.wantEchoCancel);

  const auto c = as<CaptureMode>(parseCommandLine(argv({"o.wav", "--mic-device", ""})));
  EXPECT_EQ(c.micDeviceUID, std::optional<std::string>(""));

  // "--mic-device" as the output path is not a flag.
  const auto d = as<CaptureMode>(parseCommandLine(argv({"--mic-device", "X"})));
  EXPECT_EQ(d.outPath, "--mic-device");
  EXPECT_EQ(d.micDeviceUID, std::nullopt);
}

}  // namespace
