#include "audio/wav_reader.hpp"

#include <emmintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "audio/little_endian.hpp"
#include "audio/file_bytes.hpp"
#include "audio/wav_rf64.hpp"

namespace {

// Anything this short cannot hold a header and one sample.
constexpr std::size_t kMinFileSize = 45;
// The chunk walk starts after "RIFF", the RIFF size and the form type.
constexpr std::uint64_t kFirstChunk = 12;
constexpr std::uint64_t kChunkHeader = 8;
// The three "fmt " fields used sit within 16 bytes of the chunk body.
constexpr std::uint64_t kFmtFieldsEnd = 16;
// 2^-15: turns a 16-bit sample into [-1, 1) exactly.
constexpr float kFromInt16 = 1.0f / 32768.0f;

float sampleAt(const std::byte* p) { return static_cast<float>(static_cast<std::int16_t>(u16At(p))); }

// A chunk id is four ASCII bytes; a byte of 0x80 or above matches no name,
// which a byte-wise compare with an ASCII name gives for free.
bool idIs(const std::byte* p, const char (&name)[5]) { return chunkIdIs(p, name); }

struct Layout {
  std::uint32_t channels = 1;
  std::uint32_t bits = 16;
  double rate = 48000.0;
  bool haveData = false;
  std::uint64_t dataStart = 0;
  std::uint64_t dataLength = 0;
};

// Walks every chunk; the last "fmt " and the last "data" win. Nothing when
// a "fmt " chunk's fields would lie past the end of the file. In an RF64
// file the "ds64" chunk's data size stands in for a "data" size of
// 0xFFFFFFFF; any other chunk of that size runs to the end of the file, as
// in a RIFF file.
std::optional<Layout> walkChunks(std::span<const std::byte> file, bool rf64) {
  const std::byte* base = file.data();
  const std::uint64_t length = file.size();
  Layout l;
  std::optional<std::uint64_t> ds64DataSize;
  std::uint64_t offset = kFirstChunk;
  while (offset + kChunkHeader <= length) {
    std::uint64_t size = u32At(base + offset + 4);
    const std::uint64_t body = offset + kChunkHeader;
    if (rf64 && size == kRf64SizeInDs64 && ds64DataSize && idIs(base + offset, "data"))
      size = *ds64DataSize;
    if (rf64 && idIs(base + offset, "ds64")) {
      if (size >= kDs64DataSize + 8 && body + kDs64DataSize + 8 <= length)
        ds64DataSize = u64At(base + body + kDs64DataSize);
    } else if (idIs(base + offset, "fmt ")) {
      if (body + kFmtFieldsEnd > length) return std::nullopt;
      l.channels = u16At(base + body + 2);
      l.rate = static_cast<double>(u32At(base + body + 4));
      l.bits = u16At(base + body + 14);
    } else if (idIs(base + offset, "data")) {
      l.haveData = true;
      l.dataStart = body;
      l.dataLength = std::min(size, length - body);  // cut at the end of the file
    }
    // Odd chunks carry one pad byte; a size past the end ends the walk
    // (and a 64-bit one must not wrap around).
    offset = size < length - body ? body + size + (size % 2) : length;
  }
  return l;
}

}  // namespace

std::optional<Wav16Layout> wav16Layout(std::span<const std::byte> bytes) {
  if (bytes.size() < kMinFileSize) return std::nullopt;
  const bool rf64 = isRf64Form(bytes.data());
  if (!rf64 && !idIs(bytes.data(), "RIFF")) return std::nullopt;
  const std::optional<Layout> l = walkChunks(bytes, rf64);
  if (!l || !l->haveData || l->bits != 16 || l->channels < 1) return std::nullopt;
  Wav16Layout layout;
  layout.channels = l->channels;
  layout.rate = l->rate;
  layout.dataStart = l->dataStart;
  layout.frames = static_cast<std::size_t>(l->dataLength / 2) / layout.channels;
  return layout;
}

void wav16ToMono(const std::byte* data, std::size_t channels, std::size_t frames, float* out) {
  if (channels == 1) {
    // 1 * (0 + v * 2^-15) is exactly v * 2^-15: the general loop's result.
    // Eight samples at a time in SSE2 registers (x86-64 is little-endian, as
    // the file is): each is sign-extended, converted exactly and scaled.
    std::size_t f = 0;
    const __m128 scale = _mm_set1_ps(kFromInt16);
    for (; f + 8 <= frames; f += 8) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 2 * f));
      const __m128i lo = _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16);
      const __m128i hi = _mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16);
      _mm_storeu_ps(out + f, _mm_mul_ps(_mm_cvtepi32_ps(lo), scale));
      _mm_storeu_ps(out + f + 4, _mm_mul_ps(_mm_cvtepi32_ps(hi), scale));
    }
    for (; f < frames; ++f) out[f] = sampleAt(data + 2 * f) * kFromInt16;
    return;
  }
  // The sum is scaled by the float value of 1/channels, not divided.
  const float scale = 1.0f / static_cast<float>(channels);
  for (std::size_t f = 0; f < frames; ++f) {
    const std::byte* frame = data + 2 * f * channels;
    float sum = 0.0f;
    for (std::size_t k = 0; k < channels; ++k) sum += sampleAt(frame + 2 * k) * kFromInt16;
    out[f] = scale * sum;
  }
}

std::optional<WavTrack> readWav16Bytes(std::span<const std::byte> bytes) {
  const std::optional<Wav16Layout> l = wav16Layout(bytes);
  if (!l) return std::nullopt;
  WavTrack track;
  track.rate = l->rate;
  track.samples.resize(l->frames);
  wav16ToMono(bytes.data() + l->dataStart, l->channels, l->frames, track.samples.data());
  return track;
}

std::optional<WavTrack> readWav16(const std::string& path) {
  // The file's bytes live only for the conversion: the track alone leaves.
  const std::optional<FileBytes> file = FileBytes::read(path);
  if (!file) return std::nullopt;
  return readWav16Bytes(file->bytes());
}
