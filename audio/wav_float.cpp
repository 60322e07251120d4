#include "audio/wav_float.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "audio/little_endian.hpp"

// Samples go to and from the file as the machine holds them.
static_assert(std::endian::native == std::endian::little, "WAV samples are little-endian");

namespace {

constexpr std::uint32_t kFloatTag = 3;  // WAVE_FORMAT_IEEE_FLOAT
constexpr std::uint32_t kBytesPerSample = 4;
// 38 + 4n must fit the RIFF size field.
constexpr std::uint64_t kMaxFrames = (0xFFFFFFFFull - 38) / kBytesPerSample;
// The byte rate (rate * 4) must fit its field.
constexpr double kRateLimit = 1073741824.0;

bool idAt(const std::byte* p, const char (&id)[5]) { return std::memcmp(p, id, 4) == 0; }

void putId(std::byte* p, const char (&id)[5]) { std::memcpy(p, id, 4); }

// The fixed layout of wavHeaderFloat32, whatever its sizes say.
bool isFloatMonoHeader(const std::array<std::byte, kWavFloatHeaderSize>& h) {
  return idAt(&h[0], "RIFF") && idAt(&h[8], "WAVE") && idAt(&h[12], "fmt ") &&
         u32At(&h[16]) == 18 && u16At(&h[20]) == kFloatTag && u16At(&h[22]) == 1 &&
         u16At(&h[34]) == 32 && idAt(&h[38], "data");
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
  const auto dataSize = static_cast<std::uint32_t>(std::min(frames, kMaxFrames) * kBytesPerSample);
  std::array<std::byte, kWavFloatHeaderSize> h{};
  putId(&h[0], "RIFF");
  putU32(&h[4], 38 + dataSize);
  putId(&h[8], "WAVE");
  putId(&h[12], "fmt ");
  putU32(&h[16], 18);  // with the (empty) extension that non-PCM formats carry
  putU16(&h[20], kFloatTag);
  putU16(&h[22], 1);  // mono
  putU32(&h[24], rate);
  putU32(&h[28], rate * kBytesPerSample);
  putU16(&h[32], kBytesPerSample);  // block align
  putU16(&h[34], 32);               // bits per sample
  putU16(&h[36], 0);                // size of the extension
  putId(&h[38], "data");
  putU32(&h[42], dataSize);
  return h;
}

bool preadFloats(int fd, std::uint64_t offset, std::span<float> out) {
  return preadAll(fd, offset, out.data(), out.size_bytes());
}

std::optional<WavFloatLayout> wavFloat32Layout(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size < kWavFloatHeaderSize) return std::nullopt;
  std::array<std::byte, kWavFloatHeaderSize> header{};
  if (!preadAll(fd, 0, header.data(), header.size()) || !isFloatMonoHeader(header))
    return std::nullopt;
  // A trailing part of a sample is what a write cut short left behind.
  return WavFloatLayout{static_cast<double>(u32At(&header[24])),
                        (size - kWavFloatHeaderSize) / kBytesPerSample};
}

