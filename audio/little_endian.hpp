#pragma once

#include <cstddef>
#include <cstdint>

// The little-endian fields of RIFF/WAVE headers, read and written byte by
// byte so that neither the host's byte order nor alignment matters.

inline std::uint16_t u16At(const std::byte* p) {
  return static_cast<std::uint16_t>(std::to_integer<unsigned>(p[0]) |
                                    (std::to_integer<unsigned>(p[1]) << 8));
}

inline std::uint32_t u32At(const std::byte* p) {
  return static_cast<std::uint32_t>(u16At(p)) | (static_cast<std::uint32_t>(u16At(p + 2)) << 16);
}

inline void putU16(std::byte* p, std::uint32_t v) {
  p[0] = static_cast<std::byte>(v & 0xFF);
  p[1] = static_cast<std::byte>((v >> 8) & 0xFF);
}

inline void putU32(std::byte* p, std::uint32_t v) {
  putU16(p, v & 0xFFFF);
  putU16(p + 2, v >> 16);
}

inline std::uint64_t u64At(const std::byte* p) {
  return static_cast<std::uint64_t>(u32At(p)) | (static_cast<std::uint64_t>(u32At(p + 4)) << 32);
}

inline void putU64(std::byte* p, std::uint64_t v) {
  putU32(p, static_cast<std::uint32_t>(v & 0xFFFFFFFF));
  putU32(p + 4, static_cast<std::uint32_t>(v >> 32));
}
