#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/recording_monitor.hpp"
#include "capture/recording_watch.hpp"
#include "capture/sample_buffer.hpp"
#include "capture/sound_server.hpp"
#include "capture/spool_claim.hpp"
#include "capture/spool_paths.hpp"
#include "capture/track_spool.hpp"
#include "platform/dispatch/serial_queue.hpp"

// The live recording: the two sources (system audio and microphone), the one
// serial queue on which both deliver, the lock, and the two growing mono
// tracks with their rates, kept on disk in a spool beside the output as they
// arrive. Built once, started once; a stop request writes
// the recording and ends the process. Always held by a std::shared_ptr: the
// sources' completions and handlers hold it weakly.
class Capturer final : public std::enable_shared_from_this<Capturer> {
 public:
  // Ends the process with a status; the tool's own ends it for real.
  using ProcessExit = std::function<void(int status)>;

  // Longest wait in the stop for the microphone's last buffers.
  static constexpr std::chrono::milliseconds kMicStopTimeout{3000};

  // Stores the choices; starts nothing, asks nothing, prints nothing. An
  // absent or empty micDeviceUID means the default microphone. `server` is
  // never null: a machine without a running server has one that fails.
  static std::shared_ptr<Capturer> create(std::string outPath, bool system, bool mic,
                                          std::optional<std::string> micDeviceUID,
                                          bool echoCancel, std::shared_ptr<SoundServer> server);
  // The same with the process exit supplied by the caller, so that a finish
  // can be watched without the process ending (the exit is then called and
  // the finish returns).
  static std::shared_ptr<Capturer> create(std::string outPath, bool system, bool mic,
                                          std::optional<std::string> micDeviceUID,
                                          bool echoCancel, std::shared_ptr<SoundServer> server,
                                          ProcessExit exitProcess);

  // Releases the fields and stops nothing. The sources go first, so that no
  // source outlives the queue it delivers on.
  ~Capturer();

  Capturer(const Capturer&) = delete;
  Capturer& operator=(const Capturer&) = delete;

  // On the main thread, once: the microphone first (chosen, opened and
  // started before this returns), then the system source (opened and started
  // on a thread of the server's). Fails the process with "no sources
  // selected" when neither is wanted, and without touching it when the
  // spool of an earlier recording to the same output is still there.
  void start();

  // Stops the microphone (waiting for its last buffers), asks the system
  // source to stop, and writes the recording from the stop's completion (at
  // once when there is no system source); then ends the process with status
  // 0, or 1 after a line per output file that is not in place (the spool
  // then stays for --recover). Every call after the first returns at once.
  void finishAndExit();

  // Before start(): the finish cleans the microphone with the adaptive
  // canceller instead of the default one.
  void useAdaptiveCanceller() { adaptiveAec_ = true; }

  // Before start(): the finish levels each file to this integrated loudness
  // (LUFS) instead of normalising its peak.
  void levelLoudness(double lufs) { loudness_ = lufs; }

  // Waits until the device changes noticed so far have been followed (every
  // switch of source they call for done). Not from the capturer's threads.
  void waitForDeviceFollowing();

  // Before start(): the system source records the monitor of this sink (an
  // id of the output-device list) and never follows the default; an empty
  // name changes nothing.
  void pinSystemDevice(std::string sinkName) { systemDeviceUID_ = std::move(sinkName); }

  // Longest wait, in a switch of device, for the last buffers of the source
  // being replaced.
  static constexpr std::chrono::milliseconds kSwitchStopTimeout{3000};
  // How long a system source that the server ended waits for the server to
  // name another default sink before the end is reported.
  static constexpr std::chrono::milliseconds kEndGrace{1000};

 private:
  Capturer(std::string outPath, bool system, bool mic, std::optional<std::string> micDeviceUID,
           bool echoCancel, std::shared_ptr<SoundServer> server, ProcessExit exitProcess);

  void startSystem();
  void onSystemOpened(SoundServer::SystemOpening opening);
  void configureMic();
  void openFirstMic();
  // Opens the microphone `uniqueID` (at `rate`, 0: its own), publishes it
  // as the one recording and starts it into the track after `skip` frames.
  // Each failure is warned of here.
  enum class MicStart { notOpened, startFailed, started };
  MicStart startMic(const std::string& uniqueID, uint32_t rate, int64_t skip);
  // The default choice of microphone; `announce`: the line that says a
  // built-in one was preferred.
  std::optional<CaptureDevice> defaultMicDevice(bool announce = true);

  // Following the devices (capturer_follow.cpp), all on followQueue_.
  void watchDevices();
  void followDevices();
  void followSystem();
  void followMic();
  // Stops `current` (waiting, bounded, for its last buffer) and returns how
  // many frames its track holds then: what the next source skips.
  int64_t retire(const std::shared_ptr<RecordSource>& current, const int64_t& heldFrames);
  // The buffer handler of a source of that track that joins it after `skip`
  // frames (the frames the track held when it started).
  RecordSource::BufferHandler trackBuffers(RecordingMonitor::Source track, int64_t skip);
  void switchSystem(const SinkIdentity& sink);
  // The end handlers of `source`: an end that comes after the source was
  // replaced is that of the old source and changes nothing.
  RecordSource::StoppedHandler systemStopped(const std::shared_ptr<RecordSource>& source);
  RecordSource::StoppedHandler micStopped(const std::shared_ptr<RecordSource>& source);
  // Whether `source` is still the one recording, under `lock`.
  bool isCurrent(const std::weak_ptr<RecordSource>& source, bool system);
  static void finishWork(const std::weak_ptr<Capturer>& weak, const ProcessExit& exitProcess);
  // The sample path both sources share, on `q`: a buffer's format is
  // described once per source, the buffer converted outside the lock, then
  // handed to appendSamples.
  void takeBuffer(const SampleBuffer& buffer, const char* label, bool& logged, double& rate,
                  TrackSpool& spool, int64_t& heldFrames, RecordingMonitor::Source source);
  // The one place where a source's samples are kept: under `lock`, the rate
  // stated by the buffer and its mono samples appended to the track's spool
  // and counted in heldFrames.
  void appendSamples(double bufferRate, const std::vector<float>& mono, double& rate,
                     TrackSpool& spool, int64_t& heldFrames);
  // What the spool holds on disk now, for the status line.
  uint64_t spoolBytes() const;

  // The two sources. Each is set once by a start-up path (the main thread for
  // the microphone, a server thread for the system source) and read by
  // finishAndExit() on the main thread, so both are published under `lock`.
  std::shared_ptr<RecordSource> stream;      // guarded by lock: the system source
  std::shared_ptr<RecordSource> micSession;  // guarded by lock: the microphone
  SerialQueue q;                             // every sample callback of both sources
  std::mutex lock;                           // held for one append, one take or one test-and-set
  const SpoolPaths spool_;
  std::optional<SpoolLock> spoolLock_;  // main thread: taken by start(), held for the process's life
  // Each track on its way to disk; taken over (closed and read back) by the finish.
  const std::unique_ptr<TrackSpool> sysSamples;  // appends guarded by lock
  const std::unique_ptr<TrackSpool> micSamples;  // appends guarded by lock
  RecordingMonitor monitor_;                     // locks itself
  std::unique_ptr<RecordingWatch> watch_;        // main thread: made by start(), stopped by the finish
  double sysRate = 0.0;                      // guarded by lock; 0.0: nothing converted yet
  double micRate = 0.0;                      // guarded by lock
  int64_t sysFrames_ = 0;                    // guarded by lock: frames the system track holds
  int64_t micFrames_ = 0;                    // guarded by lock: frames the microphone track holds
  bool finished = false;                     // guarded by lock
  bool loggedSys = false;                    // only touched on q
  bool loggedMic = false;                    // only touched on q
  const std::string outPath;
  const bool wantSystem;
  const bool wantMic;
  const std::optional<std::string> micDeviceUID;
  const bool wantEchoCancel;
  const std::shared_ptr<SoundServer> server_;
  const ProcessExit exitProcess_;
  bool adaptiveAec_ = false;  // set on the main thread before start()
  std::optional<double> loudness_;  // set on the main thread before start()
  std::string systemDeviceUID_;  // set on the main thread before start(); empty: follow the default

  // What the device following knows. Written by start() before anything is
  // queued on followQueue_ (the microphone's part before its source starts),
  // then only on followQueue_.
  enum class MicState { unwanted, recording, absent, failed };
  MicState micState_ = MicState::unwanted;  // absent: no device left; failed: opening failed
  std::string micDeviceID_;                 // the microphone recorded (MicState::recording)
  bool systemPinned_ = false;               // the sink recorded never changes
  bool systemFollowing_ = false;            // a system source was opened: it follows the default
  std::string systemSinkName_;              // the sink whose monitor is recorded now
  std::optional<std::string> systemEnded_;  // why the server ended the system source
  bool systemWarned_ = false;               // the end's warning was printed
  // Until when an end waits for another default (set: it is waiting).
  std::optional<std::chrono::steady_clock::time_point> systemEndDeadline_;
  bool watching_ = false;                   // the device notices were asked for
  // Every opening of the system source and every switch of device, in order;
  // declared last so that it goes first: no block of it outlives the fields.
  SerialQueue followQueue_{"com.narup.capture.devices"};
};
