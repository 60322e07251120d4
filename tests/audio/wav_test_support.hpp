#pragma once

// Shared by the tests that handle WAV files: scratch folders, whole-file
// reads, a little-endian byte builder for hand-made files, and reads from a
// heap block of exactly the bytes' size, so that AddressSanitizer reports
// any read past their end.

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "audio/wav.hpp"

namespace wavtest {

inline std::vector<std::uint8_t> fileBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline std::optional<WavTrack> readExact(std::span<const std::uint8_t> bytes) {
  std::unique_ptr<std::byte[]> block(new std::byte[bytes.size()]);
  if (!bytes.empty()) std::memcpy(block.get(), bytes.data(), bytes.size());
  return readWav16Bytes(std::span<const std::byte>(block.get(), bytes.size()));
}

// A fresh folder under the system's temporary folder, removed at the end.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& tag)
      : path_(std::filesystem::temp_directory_path() / ("narup-" + tag + "-" + std::to_string(::getpid()))) {
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() { std::filesystem::remove_all(path_, ignored_); }
  ScratchDir(const ScratchDir&) = delete;
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::error_code ignored_;
};

struct Bytes {
  std::vector<std::uint8_t> v;
  Bytes& str(const char* s) { return v.insert(v.end(), s, s + std::strlen(s)), *this; }
  Bytes& u16(std::uint32_t x) { return v.push_back(x & 0xFF), v.push_back((x >> 8) & 0xFF), *this; }
  Bytes& u32(std::uint32_t x) { return u16(x & 0xFFFF).u16(x >> 16); }
  Bytes& u64(std::uint64_t x) { return u32(x & 0xFFFFFFFF).u32(static_cast<std::uint32_t>(x >> 32)); }
  Bytes& i16(std::int16_t x) { return u16(static_cast<std::uint16_t>(x)); }
};

// A long mono 16-bit take written through the writer in little real disk:
// `head`, silence left as a hole, then `tail`, `frames` samples in all.
inline bool writeSparseWav16(const std::filesystem::path& path, std::uint64_t frames, double rate,
                             std::span<const float> head, std::span<const float> tail) {
  std::optional<Wav16FileWriter> w = Wav16FileWriter::begin(path.string(), frames, rate);
  if (!w) return false;
  w->write(head);
  w->writeSilence(frames - head.size() - tail.size());
  w->write(tail);
  return w->commit();
}

// The first `bytes` bytes of `from` as the file `to`.
inline void copyHead(const std::filesystem::path& from, const std::filesystem::path& to, std::size_t bytes) {
  std::ifstream in(from, std::ios::binary);
  std::vector<char> head(bytes);
  in.read(head.data(), static_cast<std::streamsize>(bytes));
  std::ofstream(to, std::ios::binary).write(head.data(), in.gcount());
}

}  // namespace wavtest
