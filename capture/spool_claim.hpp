#pragma once

#include <optional>
#include <string>
#include <variant>

#include "capture/spool_paths.hpp"

// The lock on a spool, held by the one recording (or recovery) that works
// on it for as long as it lives: a flock on the spool's "lock" file, which
// holds the holder's process id. The kernel lets go of it when the process
// ends however it ends, so a lock whose process is gone never blocks.
class SpoolLock {
 public:
  explicit SpoolLock(int fd) : fd_(fd) {}
  ~SpoolLock();
  SpoolLock(SpoolLock&& other) noexcept;
  SpoolLock& operator=(SpoolLock&&) = delete;
  SpoolLock(const SpoolLock&) = delete;

 private:
  int fd_;
};

// For a new recording to `outPath`, before any source starts: the output's
// folder exists and takes files, the output (and, when both sources are
// recorded, each channel file) is not a folder or anything but a file, and
// its spool is made, locked, in one step (no other process ever sees it
// unlocked). A spool left with no samples in it is taken away first. What
// comes back on failure is the whole failure line: "cannot record to " +
// path + ": " + reason; "<out> is still being recorded (process N)"; or the
// line naming --recover when an earlier recording's samples are there.
// Nothing is created then.
std::variant<SpoolLock, std::string> claimSpool(const std::string& outPath, bool channels);

// For --recover: the spool of `outPath` locked. Nothing (with nothing
// touched) when there is no spool folder; the failure line when a live
// recording holds it.
struct RecoveryClaim {
  std::optional<SpoolLock> lock;
  std::string failure;  // set when the spool is in use
};
RecoveryClaim lockSpoolForRecovery(const std::string& outPath);

// Whether any part of either track holds a sample (or is a file that
// cannot be read as one, which is kept just in case).
bool spoolHoldsSamples(const SpoolPaths& paths);

// The failure text for a recording that finds the spool of an earlier one
// at its output path: it names the folder and the recovery command.
std::string earlierSpoolMessage(const std::string& outPath);
