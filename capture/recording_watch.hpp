#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class RecordingMonitor;
class Ticker;

// Looks at a running recording four times a second: prints each warning of
// the monitor as it falls due and, when standard error is a terminal, keeps
// the status line up to date. The status line goes when the watch stops.
class RecordingWatch {
 public:
  // `spoolBytes` tells how much the spool holds on disk; the free space is
  // that of the output's folder.
  RecordingWatch(RecordingMonitor& monitor, std::string outPath,
                 std::function<uint64_t()> spoolBytes);
  ~RecordingWatch();
  RecordingWatch(const RecordingWatch&) = delete;
  RecordingWatch& operator=(const RecordingWatch&) = delete;

  // Ends the looking and removes the status line. Idempotent.
  void stop();

 private:
  void tick();

  RecordingMonitor& monitor_;
  const std::string folder_;
  const std::function<uint64_t()> spoolBytes_;
  const bool terminal_;
  double lastLook_;  // the monitor's time of the last look; the ticker's thread owns it
  std::unique_ptr<Ticker> ticker_;  // last: it calls tick() until stopped
};
