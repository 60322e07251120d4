#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "audio/little_endian.hpp"

// RF64 (EBU Tech 3306), the form a WAV file takes once its sizes pass what
// 32 bits hold: the form id "RF64" in place of "RIFF", a "ds64" chunk right
// after "WAVE" holding the RIFF size, the data size and the sample count as
// 64-bit values, and 0xFFFFFFFF in the 32-bit fields they take over. A file
// that is rewritten in place as it grows reserves the room of the "ds64"
// chunk with a "JUNK" chunk of the same size, which any reader skips.

// A 32-bit size field whose value is in the "ds64" chunk.
inline constexpr std::uint32_t kRf64SizeInDs64 = 0xFFFFFFFF;
// The "ds64" body written here: three 64-bit sizes and an empty table of
// other chunks' sizes (its length, a 32-bit 0).
inline constexpr std::uint32_t kDs64BodySize = 28;
inline constexpr std::size_t kDs64ChunkSize = 8 + kDs64BodySize;
// Offsets in the "ds64" body.
inline constexpr std::size_t kDs64RiffSize = 0;
inline constexpr std::size_t kDs64DataSize = 8;
inline constexpr std::size_t kDs64SampleCount = 16;
inline constexpr std::size_t kDs64TableLength = 24;

// The largest RIFF size a 32-bit field holds without standing for "in ds64".
inline constexpr std::uint64_t kMaxRiffSize = kRf64SizeInDs64 - 1;

inline void putChunkId(std::byte* p, const char (&id)[5]) { std::memcpy(p, id, 4); }

inline bool chunkIdIs(const std::byte* p, const char (&id)[5]) { return std::memcmp(p, id, 4) == 0; }

// "RF64", or "BW64" (the same layout under the name of ITU-R BS.2088).
inline bool isRf64Form(const std::byte* p) { return chunkIdIs(p, "RF64") || chunkIdIs(p, "BW64"); }

// The "ds64" chunk, header included, at `p` (kDs64ChunkSize bytes).
inline void putDs64(std::byte* p, std::uint64_t riffSize, std::uint64_t dataSize,
                    std::uint64_t sampleCount) {
  putChunkId(p, "ds64");
  putU32(p + 4, kDs64BodySize);
  putU64(p + 8 + kDs64RiffSize, riffSize);
  putU64(p + 8 + kDs64DataSize, dataSize);
  putU64(p + 8 + kDs64SampleCount, sampleCount);
  putU32(p + 8 + kDs64TableLength, 0);
}

// A "JUNK" chunk of the "ds64" chunk's size at `p`, its body zeros.
inline void putDs64Room(std::byte* p) {
  std::memset(p, 0, kDs64ChunkSize);
  putChunkId(p, "JUNK");
  putU32(p + 4, kDs64BodySize);
}
