#include "audio/flac_writer.hpp"

#include <FLAC/stream_encoder.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "audio/encoded_file.hpp"
#include "audio/wav_writer.hpp"

// libFLAC exports this setter without declaring it in the public header of
// the versions Debian ships (it is part of its protected interface).
extern "C" FLAC__bool FLAC__stream_encoder_set_do_md5(FLAC__StreamEncoder* encoder, FLAC__bool value);

namespace {

// The fastest setting that still predicts: fixed predictors, no LPC search,
// no exhaustive model search, one Rice parameter a frame. A long take is
// encoded after the canceller has run, so speed counts more than the last
// per cent of size: frames of 1152 samples (24 ms at 48 kHz) stay in the
// cache and encode in two thirds of the time of 4096, at the same size, and
// partitioning the residual cost a third more for nothing on speech. No MD5
// of the samples in the stream header (all zeros: "not computed"): it costs
// three times the encoding itself, and every frame carries its own CRC.
constexpr unsigned kCompressionLevel = 0;
constexpr unsigned kBlockSize = 1152;
constexpr unsigned kMaxRicePartitionOrder = 0;
// Samples converted and handed to the encoder at a time.
constexpr std::size_t kPiece = 8192;
// FLAC's rate field holds up to 2^20 - 1 Hz.
constexpr double kMaxFlacRate = 1048575.0;

struct EncoderDelete {
  void operator()(FLAC__StreamEncoder* e) const { FLAC__stream_encoder_delete(e); }
};

class FlacWriter final : public TrackWriter {
 public:
  explicit FlacWriter(PendingFile file) : out_(std::move(file)) {}

  bool start(std::size_t frames, unsigned rate) {
    encoder_.reset(FLAC__stream_encoder_new());
    if (!encoder_) return false;
    FLAC__StreamEncoder* e = encoder_.get();
    bool set = FLAC__stream_encoder_set_channels(e, 1) &&
               FLAC__stream_encoder_set_bits_per_sample(e, 16) &&
               FLAC__stream_encoder_set_sample_rate(e, rate) &&
               FLAC__stream_encoder_set_compression_level(e, kCompressionLevel) &&
               FLAC__stream_encoder_set_blocksize(e, kBlockSize) &&
               FLAC__stream_encoder_set_max_residual_partition_order(e, kMaxRicePartitionOrder) &&
               FLAC__stream_encoder_set_do_exhaustive_model_search(e, false) &&
               FLAC__stream_encoder_set_do_md5(e, false) &&
               FLAC__stream_encoder_set_total_samples_estimate(e, frames);
    return set && FLAC__stream_encoder_init_stream(e, &FlacWriter::onWrite, &FlacWriter::onSeek,
                                                   &FlacWriter::onTell, nullptr, this) ==
                      FLAC__STREAM_ENCODER_INIT_STATUS_OK;
  }

  void write(std::span<const float> samples) override {
    while (ok_ && !samples.empty()) {
      const std::size_t n = std::min(samples.size(), kPiece);
      // The WAV path's own conversion, so that both files hold the same samples.
      wav16Samples(samples.first(n), reinterpret_cast<std::byte*>(int16_.data()));
      for (std::size_t i = 0; i < n; ++i) int32_[i] = int16_[i];
      const FLAC__int32* channels[] = {int32_.data()};
      ok_ = FLAC__stream_encoder_process(encoder_.get(), channels, static_cast<unsigned>(n)) && out_.ok();
      samples = samples.subspan(n);
    }
  }

  bool commit() override {
    if (!encoder_) return false;
    // finish() writes the last frame and the final stream header.
    const bool encoded = FLAC__stream_encoder_finish(encoder_.get()) && ok_;
    encoder_.reset();
    return out_.commit(encoded);
  }

  int error() const override { return out_.error(); }

 private:
  static FLAC__StreamEncoderWriteStatus onWrite(const FLAC__StreamEncoder*, const FLAC__byte buffer[],
                                                std::size_t bytes, uint32_t, uint32_t, void* self) {
    EncodedFile& out = static_cast<FlacWriter*>(self)->out_;
    out.append(buffer, bytes);
    return out.ok() ? FLAC__STREAM_ENCODER_WRITE_STATUS_OK : FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
  }
  // The finished stream's header is written again at the start; a pipe
  // keeps the one written first, which decoders take as of unknown length.
  static FLAC__StreamEncoderSeekStatus onSeek(const FLAC__StreamEncoder*, FLAC__uint64 offset, void* self) {
    errno = 0;
    if (static_cast<FlacWriter*>(self)->out_.seek(offset)) return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
    return errno == ESPIPE ? FLAC__STREAM_ENCODER_SEEK_STATUS_UNSUPPORTED : FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
  }
  static FLAC__StreamEncoderTellStatus onTell(const FLAC__StreamEncoder*, FLAC__uint64* offset, void* self) {
    *offset = static_cast<FlacWriter*>(self)->out_.position();
    return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
  }

  EncodedFile out_;
  std::unique_ptr<FLAC__StreamEncoder, EncoderDelete> encoder_;
  bool ok_ = true;
  std::vector<std::int16_t> int16_ = std::vector<std::int16_t>(kPiece);
  std::vector<FLAC__int32> int32_ = std::vector<FLAC__int32>(kPiece);
};

}  // namespace

std::unique_ptr<TrackWriter> beginFlac(PendingFile file, std::size_t frames, double sampleRate) {
  if (!std::isfinite(sampleRate) || sampleRate < 1.0 || sampleRate > kMaxFlacRate) {
    errno = EINVAL;
    return nullptr;
  }
  auto writer = std::make_unique<FlacWriter>(std::move(file));
  if (!writer->start(frames, static_cast<unsigned>(sampleRate))) {  // truncated, as the WAV's
    errno = EINVAL;
    return nullptr;
  }
  return writer;
}
