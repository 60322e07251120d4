#include "audio/wav_writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>

#include "base/console.hpp"

namespace {

// Full scale when writing; reading divides by 32768, so a round trip comes
// back scaled by 32767/32768.
constexpr float kToInt16 = 32767.0f;
// The RIFF size field holds 36 + 2n in 32 bits.
constexpr std::uint64_t kMaxFrames = (0xFFFFFFFFull - 36) / 2;
// Rates the 32-bit rate field and the byte rate (rate * 2) both hold.
constexpr double kRateLimit = 2147483648.0;

void putU16(std::byte* p, std::uint32_t v) {
  p[0] = static_cast<std::byte>(v & 0xFF);
  p[1] = static_cast<std::byte>((v >> 8) & 0xFF);
}

void putU32(std::byte* p, std::uint32_t v) {
  putU16(p, v & 0xFFFF);
  putU16(p + 2, v >> 16);
}

void putId(std::byte* p, const char (&id)[5]) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::byte>(id[i]);
}

// 1.0 and above, and NaN, give 32767; everything is clamped at -1 first, so
// the most negative value written is -32767; the product truncates toward 0.
std::int16_t toInt16(float x) {
  if (!(x < 1.0f)) return 32767;
  const float y = x < -1.0f ? -1.0f : x;
  return static_cast<std::int16_t>(y * kToInt16);
}

// The whole buffer in one write; a short write is continued, an error drops
// the rest silently.
void writeFile(const std::string& path, const std::byte* p, std::size_t n) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return;
  writeAll(fd, p, n);
  ::close(fd);
}

}  // namespace

void wav16Samples(std::span<const float> samples, std::byte* out) {
  for (const float x : samples) {
    putU16(out, static_cast<std::uint16_t>(toInt16(x)));
    out += 2;
  }
}

std::optional<std::array<std::byte, kWavHeaderSize>> wavHeader16(std::size_t frames,
                                                                  double sampleRate) {
  if (!std::isfinite(sampleRate) || sampleRate < 0.0 || sampleRate >= kRateLimit)
    return std::nullopt;
  if (frames > kMaxFrames) return std::nullopt;
  const auto rate = static_cast<std::uint32_t>(sampleRate);  // truncated toward zero
  const auto dataSize = static_cast<std::uint32_t>(2 * frames);
  std::array<std::byte, kWavHeaderSize> h{};
  putId(&h[0], "RIFF");
  putU32(&h[4], 36 + dataSize);
  putId(&h[8], "WAVE");
  putId(&h[12], "fmt ");
  putU32(&h[16], 16);
  putU16(&h[20], 1);  // integer PCM
  putU16(&h[22], 1);  // mono
  putU32(&h[24], rate);
  putU32(&h[28], rate * 2);
  putU16(&h[32], 2);   // block align
  putU16(&h[34], 16);  // bits per sample
  putId(&h[36], "data");
  putU32(&h[40], dataSize);
  return h;
}

void writeWav16(std::span<const float> samples, double sampleRate, const std::string& path) {
  const auto header = wavHeader16(samples.size(), sampleRate);
  if (!header) return;
  const std::size_t total = kWavHeaderSize + 2 * samples.size();
  std::unique_ptr<std::byte[]> file(new (std::nothrow) std::byte[total]);
  if (!file) return;
  std::byte* p = file.get();
  for (std::size_t i = 0; i < kWavHeaderSize; ++i) p[i] = (*header)[i];
  wav16Samples(samples, p + kWavHeaderSize);
  writeFile(path, file.get(), total);
}
