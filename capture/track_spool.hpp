#pragma once

#include <atomic>
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
// often it makes the disk keep them (fdatasync), and how long a folder that
// failed is left alone before it is tried again.
struct SpoolTiming {
  std::chrono::milliseconds writeEvery{500};
  std::chrono::milliseconds syncEvery{4000};
  std::chrono::milliseconds retryEvery{10000};
};

// The durable home of one source's mono track while it is recorded: a
// float32 WAV file that a writer thread of its own, off the delivery path,
// extends at least every second and syncs at least every five seconds, with
// the header's sizes rewritten after each write, so that the file opens in
// any audio tool at any moment and a killed recording loses at most about a
// second. Memory stays at about one write interval of samples.
//
// When a write fails (disk full, folder gone), the file is cut back to its
// last whole write and the track goes on in a new part ("sys.1.wav", ...)
// in the first fallback folder that takes it, with one "[WARN] " line
// saying where; while no folder takes samples they are kept in memory (one
// line says that too, and one more if memory runs out). Every retry interval
// the folders ahead of the one in use are tried again, the spool's own
// first, so the track comes home when space returns. The parts, joined by
// their numbers, are the whole track.
class TrackSpool {
 public:
  // `path` is part 0, made on the first append (its folder is the spool's);
  // `label` names the track in the lines and the parts' files; the
  // fallback folders are made when first needed. Starts the writer.
  TrackSpool(std::string path, std::string label, SpoolTiming timing = {},
             std::vector<std::string> fallbackDirs = {});
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

  // Stops the writer, writes what is pending (what memory holds too, into
  // any folder that takes it now) and syncs the file. Idempotent.
  void close();

  // After close(): the whole track, its parts read where they lie, followed
  // by what no folder took (handed over: call it once). Nothing when a part
  // cannot be opened or holds less than was written to it; the files then
  // stay as they are for a later recovery.
  std::optional<JoinedTrackSource> handOver();

  // The rate of the last buffer appended (0.0 when none was).
  double rate() const;

  // Samples this spool holds in memory, as capacity: the pending and the
  // writing buffers and the part no folder took.
  std::size_t samplesInMemory() const;

  // Bytes of the track in files, every part counted.
  std::uint64_t bytesOnDisk() const { return diskBytes_.load(); }

 private:
  // A part that takes no more samples, and how many it holds.
  struct ClosedPart {
    std::string path;
    std::uint64_t samples = 0;
  };

  void writerLoop();
  // Under fileLock_: where the batch goes, memory last.
  void store(std::span<const float> batch, double rate);
  // Under fileLock_: a new part in folder `place` holding `batch` (after what
  // memory holds); false with errno set when that folder takes nothing.
  bool startPart(std::size_t place, std::span<const float> batch, double rate);
  bool writeToPart(std::span<const float> batch, double rate);
  // Under fileLock_: the part in use is cut back to its whole writes and closed.
  void endPart();
  // Under fileLock_: the batch joins the part kept in memory.
  void keepInMemory(std::span<const float> batch);
  // Under fileLock_: after folder `failed` took nothing (`error`), the
  // batch goes to the first other folder that takes it, else to memory; one
  // line says where.
  void relocate(std::span<const float> batch, double rate, std::size_t failed, int error);

  const std::string firstPath_;
  const std::string label_;
  const SpoolTiming timing_;
  std::vector<std::string> places_;  // the spool's own folder, then the fallbacks

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
  std::vector<float> inMemory_;  // guarded by fileLock_: what no folder took
  std::vector<ClosedPart> parts_;  // guarded by fileLock_: the parts before the one in use
  int fd_ = -1;                    // guarded by fileLock_: the part in use
  std::string partPath_;           // guarded by fileLock_
  std::size_t place_ = 0;          // guarded by fileLock_: its folder, an index of places_
  bool inUse_ = false;             // guarded by fileLock_: a part is open (else memory, or nothing yet)
  bool everStored_ = false;        // guarded by fileLock_
  int nextIndex_ = 0;              // guarded by fileLock_: the number of the next part
  std::uint64_t fileSamples_ = 0;  // guarded by fileLock_: samples safely in the part in use
  bool unsynced_ = false;          // guarded by fileLock_: written since the last sync
  std::chrono::steady_clock::time_point lastSync_;   // guarded by fileLock_
  std::chrono::steady_clock::time_point nextRetry_;  // guarded by fileLock_

  std::atomic<std::uint64_t> diskBytes_{0};  // written by holders of fileLock_, read by anyone

  std::thread writer_;
};
