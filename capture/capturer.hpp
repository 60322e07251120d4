#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/media_services.hpp"
#include "capture/sample_buffer.hpp"
#include "platform/dispatch/serial_queue.hpp"

// The live recording: the two sources (system audio and microphone), the one
// serial queue on which both deliver, the lock, and the two growing mono
// tracks with their rates. Built once, started once; a stop request writes
// the recording and ends the process. Always held by a std::shared_ptr: the
// platform's completions and delegates hold it weakly.
class Capturer final : public SystemStreamDelegate,
                       public MicBufferDelegate,
                       public std::enable_shared_from_this<Capturer> {
 public:
  // Ends the process with a status; the tool's own ends it for real.
  using ProcessExit = std::function<void(int status)>;

  // Stores the choices; starts nothing, asks nothing, prints nothing. An
  // absent or empty micDeviceUID means the default microphone.
  static std::shared_ptr<Capturer> create(std::string outPath, bool system, bool mic,
                                          std::optional<std::string> micDeviceUID,
                                          bool echoCancel, MediaServices services);
  // The same with the process exit supplied by the caller, so that a finish
  // can be watched without the process ending (the exit is then called and
  // the finish returns).
  static std::shared_ptr<Capturer> create(std::string outPath, bool system, bool mic,
                                          std::optional<std::string> micDeviceUID,
                                          bool echoCancel, MediaServices services,
                                          ProcessExit exitProcess);

  // Releases the fields and stops nothing. The source handles go first, so
  // that no source outlives the queue it delivers on.
  ~Capturer() override;

  Capturer(const Capturer&) = delete;
  Capturer& operator=(const Capturer&) = delete;

  // On the main thread, once: the microphone first (permission gate, then its
  // configuration), then the system source. Fails the process with "no
  // sources selected" when neither is wanted.
  void start();

  // Stops the microphone, asks the system stream to stop, and writes the
  // recording from the stop's completion (at once when there is no stream);
  // then ends the process with status 0. Every call after the first returns
  // at once.
  void finishAndExit();

  // System stream: audio buffers on `q`; a stop of its own on a platform thread.
  void streamDidOutput(const SampleBuffer& buffer, StreamOutputType type) override;
  void streamDidStop(const std::string& errorDescription) override;
  // Microphone buffers, on `q`.
  void captureOutput(const SampleBuffer& buffer) override;

 private:
  Capturer(std::string outPath, bool system, bool mic, std::optional<std::string> micDeviceUID,
           bool echoCancel, MediaServices services, ProcessExit exitProcess);

  void startSystem();
  void onShareableContent(const std::optional<ShareableContent>& content,
                          const std::optional<std::string>& error);
  void startMic();
  void configureMic();
  std::optional<CaptureDevice> defaultMicDevice();
  static void finishWork(const std::weak_ptr<Capturer>& weak, const ProcessExit& exitProcess);
  // The sample path both sources share, on `q`: a usable buffer's format is
  // described once per source, the buffer converted outside the lock, then
  // its rate stored and its samples appended under it.
  void appendBuffer(const SampleBuffer& buffer, const char* label, bool& logged, double& rate,
                    std::vector<float>& samples);

  // Handles of the two sources. Each is set once by a start-up path (a
  // platform thread, or the main thread for an authorised microphone) and
  // read by finishAndExit() on the main thread, so both are published under
  // `lock`.
  std::shared_ptr<SystemStream> stream;       // guarded by lock
  std::shared_ptr<CaptureSession> micSession;  // guarded by lock
  SerialQueue q;                              // every sample callback of both sources
  std::mutex lock;                            // held for one append, one take or one test-and-set
  std::vector<float> sysSamples;              // guarded by lock
  std::vector<float> micSamples;              // guarded by lock
  double sysRate = 0.0;                       // guarded by lock; 0.0: nothing converted yet
  double micRate = 0.0;                       // guarded by lock
  bool finished = false;                      // guarded by lock
  bool loggedSys = false;                     // only touched on q
  bool loggedMic = false;                     // only touched on q
  const std::string outPath;
  const bool wantSystem;
  const bool wantMic;
  const std::optional<std::string> micDeviceUID;
  const bool wantEchoCancel;
  const MediaServices services_;
  const ProcessExit exitProcess_;
};
