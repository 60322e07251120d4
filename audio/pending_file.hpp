#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "base/temp_files.hpp"

// A file being made under a temporary name beside its path ("." + name + a
// random suffix, so that the rename stays on one filesystem), renamed into
// place by commit() once complete: an older file of that name stays whole
// until then, and one given up before commit() leaves nothing behind.
// Something that is not a regular file (a pipe, /dev/null) is written in
// place. Every encoder of the tool writes through one.
class PendingFile {
 public:
  // kSynced: on disk before the rename, and the rename itself too. kWhole:
  // the rename alone, for a file that can be made again from what is still
  // on disk; it appears whole or not at all, without waiting for the disk.
  enum class Durability { kSynced, kWhole };

  // Nothing when no file can be made (errno then says why).
  static std::optional<PendingFile> open(const std::string& path, Durability durability);
  ~PendingFile();
  PendingFile(PendingFile&& other) noexcept;
  PendingFile& operator=(PendingFile&&) = delete;
  PendingFile(const PendingFile&) = delete;

  // Appends at the current position; a failure is kept for commit().
  void write(const void* data, std::size_t size);
  // Moves the position `bytes` on without writing: a hole, which reads as
  // zeros and takes no room on the disk. False for a file written in place.
  bool skip(std::uint64_t bytes);
  // Moves the position to `offset` from the start (false when it cannot).
  bool seek(std::uint64_t offset);
  std::uint64_t position() const { return position_; }
  bool ok() const { return ok_; }
  bool inPlace() const { return tempPath_.empty(); }
  // Syncs, closes and renames into place: true when the file is there.
  bool commit();
  // The errno of the first step that failed (0 when none did).
  int error() const { return error_; }

 private:
  PendingFile() = default;
  void failed();

  int fd_ = -1;
  bool ok_ = true;
  int error_ = 0;
  bool synced_ = true;
  std::uint64_t position_ = 0;
  std::uint64_t end_ = 0;      // the furthest position reached
  std::uint64_t flushed_ = 0;  // handed to the disk so far
  bool holes_ = false;         // skip() left a hole, maybe at the end
  std::string tempPath_;  // empty when written in place
  std::string target_;
  std::string dir_;
  std::optional<TemporaryFileMark> mark_;  // while the temporary file exists
};
