#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

// The command line turned into a plain value: which mode runs, and with what.

struct SelfTestMode {};

struct ProcessFilesMode {
  std::string micPath;
  std::string sysPath;
  std::string outPath;
};

struct ListInputDevicesMode {};
struct ListOutputDevicesMode {};

struct SetOutputDeviceMode {
  std::string uid;
};

// No output path: the usage failure.
struct UsageFailure {};

struct CaptureMode {
  std::string outPath;
  bool wantSystem = true;
  bool wantMic = true;
  std::optional<std::string> micDeviceUID;
  bool wantEchoCancel = true;
};

using Mode = std::variant<SelfTestMode, ProcessFilesMode, ListInputDevicesMode,
                          ListOutputDevicesMode, SetOutputDeviceMode, UsageFailure, CaptureMode>;

inline constexpr const char* kUsage =
    "usage: narup-capture <out.wav> [--system] [--mic] [--mic-device <uid>] [--no-echo-cancel]";

// Chooses the one mode the argument vector asks for (element 0 is the
// program's path). Arguments are compared whole and case-sensitively; what
// matches nothing is ignored.
Mode parseCommandLine(const std::vector<std::string>& args);
