#include "audio/opus_writer.hpp"

#include <opusenc.h>

#include <cerrno>
#include <cmath>

#include "audio/encoded_file.hpp"

namespace {

// Speech and the sound of a call at 48 kbit/s are transparent enough to
// keep; complexity 4 of 10 encodes an hour in a few seconds on one core
// for a loss of quality no listener hears at that rate.
constexpr opus_int32 kBitrate = 48000;
constexpr int kComplexity = 4;
// Rates the encoder's resampler takes.
constexpr double kMinOpusRate = 100.0;
constexpr double kMaxOpusRate = 768000.0;

struct EncoderDestroy {
  void operator()(OggOpusEnc* e) const { ope_encoder_destroy(e); }
};
struct CommentsDestroy {
  void operator()(OggOpusComments* c) const { ope_comments_destroy(c); }
};

class OpusWriter final : public TrackWriter {
 public:
  explicit OpusWriter(PendingFile file) : out_(std::move(file)) {}

  bool start(opus_int32 rate) {
    const std::unique_ptr<OggOpusComments, CommentsDestroy> comments(ope_comments_create());
    if (!comments) return false;
    static const OpusEncCallbacks callbacks{&OpusWriter::onWrite, &OpusWriter::onClose};
    int status = OPE_OK;
    encoder_.reset(ope_encoder_create_callbacks(&callbacks, this, comments.get(), rate, 1, 0, &status));
    return encoder_ && status == OPE_OK &&
           ope_encoder_ctl(encoder_.get(), OPUS_SET_BITRATE(kBitrate)) == OPE_OK &&
           ope_encoder_ctl(encoder_.get(), OPUS_SET_VBR(1)) == OPE_OK &&
           ope_encoder_ctl(encoder_.get(), OPUS_SET_COMPLEXITY(kComplexity)) == OPE_OK;
  }

  void write(std::span<const float> samples) override {
    // In pieces an int holds, as the encoder counts them.
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    while (ok_ && !samples.empty()) {
      const std::size_t n = std::min(samples.size(), kPiece);
      ok_ = ope_encoder_write_float(encoder_.get(), samples.data(), static_cast<int>(n)) == OPE_OK && out_.ok();
      samples = samples.subspan(n);
    }
  }

  bool commit() override {
    if (!encoder_) return false;
    // The drain encodes what the encoder still holds and ends the stream.
    const bool encoded = ope_encoder_drain(encoder_.get()) == OPE_OK && ok_;
    encoder_.reset();
    return out_.commit(encoded);
  }

  int error() const override { return out_.error(); }

 private:
  static int onWrite(void* self, const unsigned char* ptr, opus_int32 len) {
    EncodedFile& out = static_cast<OpusWriter*>(self)->out_;
    out.append(ptr, static_cast<std::size_t>(len));
    return out.ok() ? 0 : 1;
  }
  static int onClose(void*) { return 0; }  // commit() closes the file

  EncodedFile out_;
  std::unique_ptr<OggOpusEnc, EncoderDestroy> encoder_;
  bool ok_ = true;
};

}  // namespace

std::unique_ptr<TrackWriter> beginOpus(PendingFile file, double sampleRate) {
  if (!std::isfinite(sampleRate) || sampleRate < kMinOpusRate || sampleRate > kMaxOpusRate) {
    errno = EINVAL;
    return nullptr;
  }
  auto writer = std::make_unique<OpusWriter>(std::move(file));
  if (!writer->start(static_cast<opus_int32>(sampleRate))) {
    errno = EINVAL;
    return nullptr;
  }
  return writer;
}
