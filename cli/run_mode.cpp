#include "cli/run_mode.hpp"

#include <unistd.h>

#include <memory>
#include <string>

#include "capture/capturer.hpp"
#include "capture/spool_recover.hpp"
#include "base/console.hpp"
#include "devices/device_listing.hpp"
#include "devices/output_selection.hpp"
#include "modes/process_files.hpp"
#include "modes/self_test.hpp"
#include "platform/dispatch/interrupt_cleanup.hpp"
#include "platform/dispatch/main_queue.hpp"
#include "platform/dispatch/stop_signals.hpp"
#include "platform/pulse/pulse_devices.hpp"
#include "platform/pulse/pulse_sound_server.hpp"

namespace {

// A recording: the one capturer, the stop signals armed before the start,
// then the main loop for the rest of the process (the finish ends it).
int record(const CaptureMode& mode) {
  std::shared_ptr<Capturer> cap =
      Capturer::create(mode.outPath, mode.wantSystem, mode.wantMic, mode.micDeviceUID,
                       mode.wantEchoCancel, makePulseSoundServer());
  if (mode.adaptiveAec) cap->useAdaptiveCanceller();
  if (mode.loudness) cap->levelLoudness(*mode.loudness);
  if (mode.systemDeviceUID) cap->pinSystemDevice(*mode.systemDeviceUID);
  // The handlers hold the capturer for the life of the process.
  armStopSignals([cap] { cap->finishAndExit(); });
  cap->start();
  MainQueue::shared().run();
}

// Help and version go to standard output: they are what was asked for.
int printOut(const std::string& text) {
  writeAll(STDOUT_FILENO, text.data(), text.size());
  return 0;
}

struct ModeRunner {
  int operator()(const SelfTestMode&) const { return runEchoCancellerSelfTests() ? 0 : 1; }
  int operator()(const ProcessFilesMode& m) const {
    return processFiles(m.micPath, m.sysPath, m.outPath, m.adaptiveAec, m.loudness);
  }
  int operator()(const ListInputDevicesMode&) const {
    return listInputDevices(*makePulseCaptureDevices());
  }
  int operator()(const ListOutputDevicesMode&) const {
    return listOutputDevices(*makePulseAudioHardware());
  }
  int operator()(const SetOutputDeviceMode& m) const {
    return setOutputDevice(*makePulseAudioHardware(), m.uid);
  }
  int operator()(const RecoverMode& m) const {
    // A stop signal takes away what is half made and leaves the spool as it
    // was, for another try; once every file is in place it waits.
    armInterruptCleanup("narup-capture [FAIL] recovery of " + m.outPath +
                        " interrupted — the spool is kept; run narup-capture --recover " + m.outPath +
                        "\n");
    return recoverRecording(m.outPath, m.wantEchoCancel, m.adaptiveAec, holdInterrupts, m.loudness);
  }
  int operator()(const HelpMode&) const { return printOut(kHelp); }
  int operator()(const VersionMode&) const {
    return printOut(std::string("narup-capture ") + NARUP_VERSION + "\n");
  }
  int operator()(const UsageFailure&) const {
    logFail(kUsage);
    return 1;
  }
  int operator()(const RecoverUsageFailure&) const {
    logFail(kRecoverUsage);
    return 1;
  }
  int operator()(const LoudnessUsageFailure&) const {
    logFail(kLoudnessUsage);
    return 1;
  }
  int operator()(const CaptureMode& m) const { return record(m); }
};

}  // namespace

int runMode(const Mode& mode) { return std::visit(ModeRunner{}, mode); }
