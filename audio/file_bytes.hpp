#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>

// A whole file's contents in one heap block of exactly its size. Private to
// audio/: the WAV reader loads a file with it and drops it once converted.
class FileBytes {
 public:
  // Reads the whole file at `path` (a regular file in one pass; pipes and
  // other streams until their end). Nothing when it cannot be opened or read.
  static std::optional<FileBytes> read(const std::string& path);

  std::span<const std::byte> bytes() const { return {data_.get(), size_}; }

 private:
  FileBytes(std::unique_ptr<std::byte[]> data, std::size_t size)
      : data_(std::move(data)), size_(size) {}

  std::unique_ptr<std::byte[]> data_;
  std::size_t size_ = 0;
};
