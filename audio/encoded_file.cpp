#include "audio/encoded_file.hpp"

#include <cerrno>

void EncodedFile::append(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (pending_.size() + size > kGather) flush();
  if (size >= kGather) {
    file_.write(bytes, size);
    return;
  }
  pending_.insert(pending_.end(), bytes, bytes + size);
}

void EncodedFile::flush() {
  file_.write(pending_.data(), pending_.size());
  pending_.clear();
}

bool EncodedFile::seek(std::uint64_t offset) {
  flush();
  return file_.seek(offset);
}

bool EncodedFile::commit(bool encoded) {
  flush();
  if (encoded && file_.ok()) return file_.commit();
  encoderError_ = EIO;
  return false;  // the temporary file goes with this object
}
