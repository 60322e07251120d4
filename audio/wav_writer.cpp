#include "audio/wav_writer.hpp"

#include <emmintrin.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <utility>

#include "audio/little_endian.hpp"
#include "audio/wav_rf64.hpp"
#include "base/console.hpp"

namespace {

// Full scale when writing; reading divides by 32768, so a round trip comes
// back scaled by 32767/32768.
constexpr float kToInt16 = 32767.0f;
// The RIFF size of the 44-byte header is 36 + 2n; that of the RF64 header
// (the ds64 chunk's 36 bytes more) is 72 + 2n, and must fit in 64 bits.
constexpr std::uint64_t kMaxRiffFrames = (kMaxRiffSize - 36) / 2;
constexpr std::uint64_t kMaxRf64Frames = (~std::uint64_t{0} - 72) / 2;
static_assert(kWavRf64HeaderSize == kWavHeaderSize + kDs64ChunkSize);
// Rates the 32-bit rate field and the byte rate (rate * 2) both hold.
constexpr double kRateLimit = 2147483648.0;

// 1.0 and above, and NaN, give 32767; everything is clamped at -1 first, so
// the most negative value written is -32767; the product truncates toward 0.
std::int16_t toInt16(float x) {
  if (!(x < 1.0f)) return 32767;
  const float y = x < -1.0f ? -1.0f : x;
  return static_cast<std::int16_t>(y * kToInt16);
}

// Samples are converted into a buffer of this many bytes and written when
// it is full: a long track needs no second copy of itself in memory, and a
// track handed over in small pieces is not written a piece at a time.
constexpr std::size_t kPendingBytes = std::size_t{1} << 20;

// toInt16 on four samples: !(x < 1) (true for NaN) picks 32767; otherwise
// max(x, -1) is x < -1 ? -1 : x, and the conversion truncates toward 0.
__m128i toInt16x4(__m128 x) {
  const __m128i top = _mm_castps_si128(_mm_cmpnlt_ps(x, _mm_set1_ps(1.0f)));
  const __m128 y = _mm_max_ps(x, _mm_set1_ps(-1.0f));
  const __m128i v = _mm_cvttps_epi32(_mm_mul_ps(y, _mm_set1_ps(kToInt16)));
  return _mm_or_si128(_mm_and_si128(top, _mm_set1_epi32(32767)), _mm_andnot_si128(top, v));
}

}  // namespace

void wav16Samples(std::span<const float> samples, std::byte* out) {
  // Eight samples at a time; every value is within +-32767, so the packing
  // never saturates, and x86-64 stores them little-endian, as the file wants.
  std::size_t i = 0;
  for (; i + 8 <= samples.size(); i += 8) {
    const __m128i lo = toInt16x4(_mm_loadu_ps(samples.data() + i));
    const __m128i hi = toInt16x4(_mm_loadu_ps(samples.data() + i + 4));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packs_epi32(lo, hi));
    out += 16;
  }
  for (; i < samples.size(); ++i) {
    putU16(out, static_cast<std::uint16_t>(toInt16(samples[i])));
    out += 2;
  }
}

std::optional<Wav16Header> wavHeader16(std::uint64_t frames, double sampleRate) {
  if (!std::isfinite(sampleRate) || sampleRate < 0.0 || sampleRate >= kRateLimit)
    return std::nullopt;
  if (frames > kMaxRf64Frames) return std::nullopt;
  const auto rate = static_cast<std::uint32_t>(sampleRate);  // truncated toward zero
  const bool rf64 = frames > kMaxRiffFrames;
  Wav16Header header;
  header.size = rf64 ? kWavRf64HeaderSize : kWavHeaderSize;
  std::byte* h = header.bytes.data();
  const std::uint64_t dataSize = 2 * frames;
  if (rf64) {
    putChunkId(h, "RF64");
    putU32(h + 4, kRf64SizeInDs64);
    putDs64(h + 12, kWavRf64HeaderSize - 8 + dataSize, dataSize, frames);
  } else {
    putChunkId(h, "RIFF");
    putU32(h + 4, static_cast<std::uint32_t>(36 + dataSize));
  }
  putChunkId(h + 8, "WAVE");
  // The same 32 bytes from "fmt " on in both forms, after the ds64 chunk in RF64.
  std::byte* f = h + (rf64 ? 12 + kDs64ChunkSize : 12);
  putChunkId(f, "fmt ");
  putU32(f + 4, 16);
  putU16(f + 8, 1);   // integer PCM
  putU16(f + 10, 1);  // mono
  putU32(f + 12, rate);
  putU32(f + 16, rate * 2);
  putU16(f + 20, 2);   // block align
  putU16(f + 22, 16);  // bits per sample
  putChunkId(f + 24, "data");
  putU32(f + 28, rf64 ? kRf64SizeInDs64 : static_cast<std::uint32_t>(dataSize));
  return header;
}

bool writeWav16(std::span<const float> samples, double sampleRate, const std::string& path) {
  std::optional<Wav16FileWriter> out = Wav16FileWriter::begin(path, samples.size(), sampleRate);
  if (!out) return false;
  out->write(samples);
  if (out->commit()) return true;
  errno = out->error();
  return false;
}

std::optional<Wav16FileWriter> Wav16FileWriter::begin(const std::string& path, std::size_t frames,
                                                      double sampleRate, Durability durability) {
  const auto header = wavHeader16(frames, sampleRate);
  if (!header) {
    errno = EINVAL;
    return std::nullopt;
  }
  std::optional<PendingFile> file = PendingFile::open(path, durability);
  if (!file) return std::nullopt;
  Wav16FileWriter w(std::move(*file));
  w.file_.write(header->bytes.data(), header->size);
  // Even (a whole number of samples), and no larger than the track needs.
  w.pending_.resize(std::max<std::size_t>(2, std::min<std::size_t>(kPendingBytes, 2 * frames)));
  return w;
}

Wav16FileWriter::Wav16FileWriter(Wav16FileWriter&& other) noexcept = default;
Wav16FileWriter::~Wav16FileWriter() = default;

void Wav16FileWriter::write(std::span<const float> samples) {
  while (file_.ok() && !samples.empty()) {
    const std::size_t n = std::min(samples.size(), (pending_.size() - used_) / 2);
    wav16Samples(samples.first(n), pending_.data() + used_);
    used_ += 2 * n;
    samples = samples.subspan(n);
    if (used_ == pending_.size()) flush();
  }
}

void Wav16FileWriter::writeSilence(std::uint64_t frames) {
  flush();
  if (file_.skip(2 * frames)) return;
  // A pipe or a device written in place has no holes: real zeros.
  static constexpr std::size_t kZeros = 4096;
  static const std::array<float, kZeros> zeros{};
  for (; file_.ok() && frames > 0; frames -= std::min<std::uint64_t>(frames, kZeros))
    write(std::span(zeros).first(static_cast<std::size_t>(std::min<std::uint64_t>(frames, kZeros))));
}

void Wav16FileWriter::flush() {
  file_.write(pending_.data(), used_);
  used_ = 0;
}

bool Wav16FileWriter::commit() {
  flush();
  return file_.commit();
}
