#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "audio/pending_file.hpp"

// What an encoder hands over, gathered into large writes of its file: the
// encoders give a few kilobytes at a time, which written one by one would
// cost a system call each.
class EncodedFile {
 public:
  explicit EncodedFile(PendingFile file) : file_(std::move(file)) { pending_.reserve(kGather); }

  void append(const void* data, std::size_t size);
  // The file's position counts what is still gathered.
  std::uint64_t position() const { return file_.position() + pending_.size(); }
  bool seek(std::uint64_t offset);
  bool ok() const { return file_.ok(); }
  // Renames the file into place once the encoder has ended well
  // (`encoded`) and every write went through: true when it is there.
  bool commit(bool encoded);
  // Why the file is not in place: the first failed step's errno, or EIO
  // for an encoder that failed on its own.
  int error() const { return file_.error() != 0 ? file_.error() : encoderError_; }

 private:
  static constexpr std::size_t kGather = std::size_t{1} << 20;
  void flush();

  PendingFile file_;
  std::vector<unsigned char> pending_;
  int encoderError_ = 0;
};
