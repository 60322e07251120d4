#include "cli/command_line.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <set>

namespace {

using Args = std::vector<std::string>;

// The opt-in adaptive echo canceller, one whole argument like every flag.
constexpr const char* kAdaptiveFlag = "--aec=adaptive";

bool contains(const Args& args, const char* flag) {
  return std::find(args.begin(), args.end(), flag) != args.end();
}

// Index of the first element equal to flag, or args.size().
size_t indexOf(const Args& args, const char* flag) {
  return static_cast<size_t>(std::find(args.begin(), args.end(), flag) - args.begin());
}

// Integrated loudness targets the levelling takes, in LUFS: below -70 the
// gating of the measure leaves nothing; above 0 no file can be.
constexpr double kMinLoudness = -70.0;
constexpr double kMaxLoudness = 0.0;

// What "--loudness <LUFS>" asks for: no target without the flag, or the
// target; nothing inside when the value is missing or unusable.
std::optional<std::optional<double>> loudnessFrom(const Args& args) {
  const size_t i = indexOf(args, "--loudness");
  if (i == args.size()) return std::optional<double>{};
  if (i + 1 == args.size()) return std::nullopt;
  const std::string& text = args[i + 1];
  char* end = nullptr;
  const double lufs = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(lufs) || lufs < kMinLoudness || lufs > kMaxLoudness)
    return std::nullopt;
  return std::optional<double>{lufs};
}

CaptureMode captureFrom(const Args& args) {
  CaptureMode capture;
  capture.outPath = args[1];
  const Args rest(args.begin() + 2, args.end());
  const std::set<std::string> flagSet(rest.begin(), rest.end());

  const bool explicitChoice = flagSet.count("--system") > 0 || flagSet.count("--mic") > 0;
  if (explicitChoice) {
    capture.wantSystem = flagSet.count("--system") > 0;
    capture.wantMic = flagSet.count("--mic") > 0;
  }
  capture.wantEchoCancel = flagSet.count("--no-echo-cancel") == 0;
  capture.adaptiveAec = flagSet.count(kAdaptiveFlag) > 0;

  // The value after "--mic-device" (and "--system-device") is taken verbatim, even when it looks like
  // a flag; it still counts as a member of the flag set above.
  const size_t j = indexOf(rest, "--mic-device");
  if (j + 1 < rest.size()) capture.micDeviceUID = rest[j + 1];
  const size_t s = indexOf(rest, "--system-device");
  if (s + 1 < rest.size()) capture.systemDeviceUID = rest[s + 1];
  return capture;
}

}  // namespace

Mode parseCommandLine(const Args& args) {
  if (contains(args, "--self-test")) return SelfTestMode{};

  // The three paths are taken by position, whatever they hold.
  // The modes that write files take a loudness target; one they cannot use
  // fails before anything is read or recorded.
  const std::optional<std::optional<double>> loudness = loudnessFrom(args);
  const size_t i = indexOf(args, "--process-files");
  if (i < args.size() && i + 3 < args.size()) {
    if (!loudness) return LoudnessUsageFailure{};
    return ProcessFilesMode{args[i + 1], args[i + 2], args[i + 3], contains(args, kAdaptiveFlag), *loudness};
  }

  if (contains(args, "--list-input-devices")) return ListInputDevicesMode{};
  if (contains(args, "--list-output-devices")) return ListOutputDevicesMode{};

  const size_t k = indexOf(args, "--set-output-device");
  if (k + 1 < args.size()) return SetOutputDeviceMode{args[k + 1]};

  // Recovery comes after the five modes above, so that none of them changes.
  const size_t r = indexOf(args, "--recover");
  if (r + 1 < args.size()) {
    if (!loudness) return LoudnessUsageFailure{};
    return RecoverMode{args[r + 1], !contains(args, "--no-echo-cancel"),
                       contains(args, kAdaptiveFlag), *loudness};
  }
  // Without its path it never records (not even to a file named after it).
  if (r < args.size()) return RecoverUsageFailure{};

  if (args.size() == 2 && args[1] == "--help") return HelpMode{};
  if (args.size() == 2 && args[1] == "--version") return VersionMode{};
  if (args.size() < 2) return UsageFailure{};
  if (!loudness) return LoudnessUsageFailure{};
  CaptureMode capture = captureFrom(args);
  capture.loudness = *loudness;
  return capture;
}
