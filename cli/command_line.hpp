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
  bool adaptiveAec = false;
  std::optional<double> loudness;  // LUFS the cleaned file is levelled to
};

struct ListInputDevicesMode {};
struct ListOutputDevicesMode {};

struct SetOutputDeviceMode {
  std::string uid;
};

// Finish the recording to outPath from the spool it left behind.
struct RecoverMode {
  std::string outPath;
  bool wantEchoCancel = true;
  bool adaptiveAec = false;
  std::optional<double> loudness;  // LUFS the files are levelled to
};

// "--help" or "--version" as the only argument.
struct HelpMode {};
struct VersionMode {};

// No output path: the usage failure.
struct UsageFailure {};

// "--recover" with no path after it: its own usage failure.
struct RecoverUsageFailure {};

// "--loudness" without a loudness from -70 to 0 after it.
struct LoudnessUsageFailure {};

struct CaptureMode {
  std::string outPath;
  bool wantSystem = true;
  bool wantMic = true;
  std::optional<std::string> micDeviceUID;
  std::optional<std::string> systemDeviceUID;  // a sink to record instead of following the default
  bool wantEchoCancel = true;
  bool adaptiveAec = false;  // the adaptive canceller instead of the default one
  std::optional<double> loudness;  // LUFS the files are levelled to, instead of their peaks
};

using Mode = std::variant<SelfTestMode, ProcessFilesMode, ListInputDevicesMode,
                          ListOutputDevicesMode, SetOutputDeviceMode, RecoverMode, HelpMode, VersionMode,
                          UsageFailure, RecoverUsageFailure, LoudnessUsageFailure, CaptureMode>;

// The failure line's text when there is no output path.
inline constexpr const char* kUsage =
    "usage: narup-capture <out.wav> [--system] [--mic] [--mic-device <uid>] [--no-echo-cancel]";

// The failure line's text for "--recover" without a path.
inline constexpr const char* kRecoverUsage = "usage: narup-capture --recover <out.wav>";

// The failure line's text for "--loudness" without a usable loudness.
inline constexpr const char* kLoudnessUsage =
    "usage: narup-capture <out.wav> --loudness <LUFS>, a loudness from -70 to 0 such as -16";

// What "--help" prints on standard output: every mode and flag, one line each.
inline constexpr const char* kHelp =
    "usage: narup-capture <out.wav> [flags]   record until SIGINT (Ctrl-C) or SIGTERM\n"
    "  the output's ending picks the format: .flac (FLAC), .opus (Ogg Opus), else WAV\n"
    "  --system                 record what the computer plays (without --mic: only it)\n"
    "  --mic                    record the microphone (without --system: only it)\n"
    "  --mic-device <id>        the microphone to use (an id from --list-input-devices)\n"
    "  --system-device <id>     record this output device only (an id from --list-output-devices)\n"
    "  --no-echo-cancel         leave the microphone track as recorded\n"
    "  --aec=adaptive           the stronger adaptive echo canceller (also for --process-files)\n"
    "  --loudness <LUFS>        level each file to this loudness (-70 to 0, e.g. -16), not its peak\n"
    "modes:\n"
    "  --recover <out.wav>      finish the recording to <out.wav> from the spool it left\n"
    "  --process-files <mic.wav> <sys.wav> <out.wav>  clean a recorded microphone file\n"
    "  --self-test              run the echo canceller's self-tests\n"
    "  --list-input-devices     print the input devices as JSON\n"
    "  --list-output-devices    print the output devices as JSON\n"
    "  --set-output-device <id> make that output device the default\n"
    "  --help                   print this text\n"
    "  --version                print the version\n";

// Chooses the one mode the argument vector asks for (element 0 is the
// program's path). Arguments are compared whole and case-sensitively; what
// matches nothing is ignored. "--help" and "--version" count only as the one
// argument: anywhere else they are ordinary arguments.
Mode parseCommandLine(const std::vector<std::string>& args);
