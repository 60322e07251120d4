#pragma once

// Helpers shared by the WAV tests: scratch directories, whole-file reads, and
// heap blocks of exactly a given size, so that AddressSanitizer reports any
// read past the end of the bytes handed to the reader.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "audio/wav.hpp"

namespace wavtest {

inline std::vector<std::uint8_t> fileBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::filesystem::path dataFile(const std::string& name) {
  return std::filesystem::path(NARUP_TEST_DATA) / name;
}

// Reads `bytes` through readWav16Bytes from a heap block of exactly their
// size (a zero-length request still gets its own block).
inline std::optional<WavTrack> readExact(std::span<const std::uint8_t> bytes) {
  std::unique_ptr<std::byte[]> block(new std::byte[bytes.size() == 0 ? 1 : bytes.size()]);
  if (!bytes.empty()) std::memcpy(block.get(), bytes.data(), bytes.size());
  return readWav16Bytes(std::span<const std::byte>(block.get(), bytes.size()));
}

// A fresh directory under the system's temporary folder, removed at the end.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& tag) {
    path_ = std::filesystem::temp_directory_path() /
            ("narup-" + tag + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A little-endian byte builder for hand-made files.
struct Bytes {
  std::vector<std::uint8_t> v;
  Bytes& str(const char* s) {
    while (*s) v.push_back(static_cast<std::uint8_t>(*s++));
    return *this;
  }
  Bytes& u16(std::uint32_t x) {
    v.push_back(x & 0xFF);
    v.push_back((x >> 8) & 0xFF);
    return *this;
  }
  Bytes& u32(std::uint32_t x) { return u16(x & 0xFFFF).u16(x >> 16); }
  Bytes& i16(std::int16_t x) { return u16(static_cast<std::uint16_t>(x)); }
};

}  // namespace wavtest
