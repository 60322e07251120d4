#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "capture/float_track.hpp"

// How often the writer of a TrackSpool puts pending samples on disk, and how
// often it makes the disk keep them (fdatasync).
struct SpoolTiming {
  std::chrono::milliseconds writeEvery{500};
  std::chrono::milliseconds syncEvery{4000};
};

// The durable home of one source's mono track while it is recorded: a
// float32 WAV file that a writer thread of its own, off the delivery path,
// extends at least every second and syncs at least every five seconds, with
// the header's sizes rewritten after each write, so that the file opens in
// any audio tool at any moment and a killed recording loses at most about a
// second. Memory stays at about one write interval of samples. When a write
// fails (disk full, folder gone) one "[WARN] " line says so and the rest of
// the track is kept in memory instead; nothing appended is dropped while
// memory lasts (when it runs out, one more line says that samples are lost).
class TrackSpool {
 public:
  // `path` is made (with its folder, one level) on the first append;
  // `label` names the source in the warning. Starts the writer.
  TrackSpool(std::string path, std::string label, SpoolTiming timing = {});
  // Closes as close() does.
  ~TrackSpool();
  TrackSpool(const TrackSpool&) = delete;
  TrackSpool& operator=(const TrackSpool&) = delete;

  // From the capture queue: copies the samples into the pending buffer under
  // a short lock and returns; never waits for the disk. `rate` (Hz) becomes
  // the track's rate. Samples appended after close() are not kept.
  void append(double rate, std::span<const float> samples);

  // Writes what is pending now, on the calling thread, as the writer does
  // on its own every interval (the header's sizes follow).
  void flushNow();

  // Stops the writer, writes what is pending and syncs the file. Idempotent.
  void close();

  // After close(): the whole track, the samples the file holds safely read
  // where they lie, followed by the part kept in memory after a failed write
  // (handed over: call it once). Nothing when the file part cannot be opened
  // or holds less than was written to it; the file then stays as it is for
  // a later recovery.
  std::optional<FloatTrackSource> handOver();

  // The rate of the last buffer appended (0.0 when none was).
  double rate() const;

  // Samples this spool holds in memory, as capacity: the pending and the
  // writing buffers and the part kept in memory after a failed write.
  std::size_t samplesInMemory() const;

 private:
  void writerLoop();
  // Under fileLock_: the file is made on the first write. False with errno
  // set when the file takes nothing more (the warning is then printed).
  bool openFile(double rate);
  bool writeBatch(std::span<const float> batch, double rate);
  void fallBackToMemory(int error);
  // Under fileLock_: the batch joins the part kept in memory.
  void keepInMemory(std::span<const float> batch);

  const std::string path_;
  const std::string label_;
  const SpoolTiming timing_;

  mutable std::mutex pendingLock_;  // held for one copy or one swap
  std::condition_variable wake_;
  std::vector<float> pending_;  // guarded by pendingLock_: appended, not yet written
  double rate_ = 0.0;           // guarded by pendingLock_: the newest buffer's rate
  bool stopping_ = false;       // guarded by pendingLock_
  bool closed_ = false;         // guarded by pendingLock_: appends are dropped from here on
  bool wantFile_ = false;       // guarded by pendingLock_: set by the first append
  bool memoryOut_ = false;      // guarded by pendingLock_: the out-of-memory line was printed

  mutable std::mutex fileLock_;  // one writer at a time: the thread, flushNow, close
  std::vector<float> writing_;  // guarded by fileLock_: the batch being written, reused
  std::vector<float> inMemory_;  // guarded by fileLock_: the track after a failed write
  int fd_ = -1;                  // guarded by fileLock_
  bool failed_ = false;          // guarded by fileLock_: the file takes nothing more
  std::uint64_t fileSamples_ = 0;  // guarded by fileLock_: samples safely in the file
  bool unsynced_ = false;          // guarded by fileLock_: written since the last sync
  std::chrono::steady_clock::time_point lastSync_;  // guarded by fileLock_

  std::thread writer_;
};
