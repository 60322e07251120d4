#include "audio/wav_float.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "audio/little_endian.hpp"
#include "audio/wav_rf64.hpp"

// Samples go to and from the file as the machine holds them.
static_assert(std::endian::native == std::endian::little, "WAV samples are little-endian");

namespace {

constexpr std::uint32_t kFloatTag = 3;  // WAVE_FORMAT_IEEE_FLOAT
constexpr std::uint32_t kBytesPerSample = 4;
constexpr std::size_t kFmtAt = 12 + kDs64ChunkSize;
constexpr std::size_t kDataAt = kFmtAt + 8 + 18;
static_assert(kDataAt + 8 == kWavFloatHeaderSize);
// RIFF size = everything after its own field: 74 + 4n.
constexpr std::uint64_t kRiffSizeOfNoFrames = kWavFloatHeaderSize - 8;
constexpr std::uint64_t kMaxRiffFrames = (kMaxRiffSize - kRiffSizeOfNoFrames) / kBytesPerSample;
// The byte rate (rate * 4) must fit its field.
constexpr double kRateLimit = 1073741824.0;

// The "fmt " chunk of a mono float file at `p` and its "data" chunk's id
// right after it, whatever the sizes say.
bool isFloatMonoFmt(const std::byte* p) {
  return chunkIdIs(p, "fmt ") && u32At(p + 4) == 18 && u16At(p + 8) == kFloatTag &&
         u16At(p + 10) == 1 && u16At(p + 22) == 32 && chunkIdIs(p + 26, "data");
}

// The header wavHeaderFloat32 writes, in either form: the sizes and the
// body of "JUNK"/"ds64" are not looked at (the file's length counts).
bool isSpoolHeader(const std::byte* h) {
  return (chunkIdIs(h, "RIFF") || isRf64Form(h)) && chunkIdIs(h + 8, "WAVE") &&
         (chunkIdIs(h + 12, "JUNK") || chunkIdIs(h + 12, "ds64")) &&
         u32At(h + 16) == kDs64BodySize && isFloatMonoFmt(h + kFmtAt);
}

// The earlier header: "fmt " right after "WAVE".
bool isPlainSpoolHeader(const std::byte* h) {
  return chunkIdIs(h, "RIFF") && chunkIdIs(h + 8, "WAVE") && isFloatMonoFmt(h + 12);
}

// Every byte of [p, p + left) from `offset` on; false on an error or an
// early end of the file.
bool preadAll(int fd, std::uint64_t offset, void* to, std::size_t left) {
  auto* p = static_cast<char*>(to);
  while (left > 0) {
    const ssize_t n = ::pread(fd, p, left, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    offset += static_cast<std::uint64_t>(n);
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::array<std::byte, kWavFloatHeaderSize> wavHeaderFloat32(std::uint64_t frames,
                                                           double sampleRate) {
  const bool rateFits = std::isfinite(sampleRate) && sampleRate >= 0.0 && sampleRate < kRateLimit;
  const auto rate = rateFits ? static_cast<std::uint32_t>(sampleRate) : 0u;
  const bool rf64 = frames > kMaxRiffFrames;
  const std::uint64_t dataSize = frames * kBytesPerSample;
  std::array<std::byte, kWavFloatHeaderSize> header{};
  std::byte* h = header.data();
  if (rf64) {
    putChunkId(h, "RF64");
    putU32(h + 4, kRf64SizeInDs64);
    putDs64(h + 12, kRiffSizeOfNoFrames + dataSize, dataSize, frames);
  } else {
    putChunkId(h, "RIFF");
    putU32(h + 4, static_cast<std::uint32_t>(kRiffSizeOfNoFrames + dataSize));
    putDs64Room(h + 12);
  }
  putChunkId(h + 8, "WAVE");
  std::byte* f = h + kFmtAt;
  putChunkId(f, "fmt ");
  putU32(f + 4, 18);
  putU16(f + 8, kFloatTag);
  putU16(f + 10, 1);  // mono
  putU32(f + 12, rate);
  putU32(f + 16, rate * kBytesPerSample);
  putU16(f + 20, kBytesPerSample);  // block align
  putU16(f + 22, 32);               // bits per sample
  putU16(f + 24, 0);                // size of the extension
  putChunkId(f + 26, "data");
  putU32(f + 30, rf64 ? kRf64SizeInDs64 : static_cast<std::uint32_t>(dataSize));
  return header;
}

bool preadFloats(int fd, std::uint64_t offset, std::span<float> out) {
  return preadAll(fd, offset, out.data(), out.size_bytes());
}

std::optional<WavFloatLayout> wavFloat32Layout(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  std::array<std::byte, kWavFloatHeaderSize> h{};
  std::uint64_t dataOffset = 0;
  std::size_t fmtAt = 0;
  if (size >= kWavFloatHeaderSize && preadAll(fd, 0, h.data(), kWavFloatHeaderSize) &&
      isSpoolHeader(h.data())) {
    dataOffset = kWavFloatHeaderSize;
    fmtAt = kFmtAt;
  } else if (size >= kWavFloatPlainHeaderSize && preadAll(fd, 0, h.data(), kWavFloatPlainHeaderSize) &&
             isPlainSpoolHeader(h.data())) {
    dataOffset = kWavFloatPlainHeaderSize;
    fmtAt = 12;
  } else {
    return std::nullopt;
  }
  // A trailing part of a sample is what a write cut short left behind.
  return WavFloatLayout{static_cast<double>(u32At(h.data() + fmtAt + 12)), dataOffset,
                        (size - dataOffset) / kBytesPerSample};
}
