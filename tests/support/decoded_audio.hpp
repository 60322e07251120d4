#pragma once

// The written files read back through their formats' own decoders, and
// their loudness measured with the loudness library itself.

#include <FLAC/stream_decoder.h>
#include <ebur128.h>
#include <opusfile.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

struct DecodedFlac {
  std::vector<std::int16_t> samples;
  unsigned rate = 0, channels = 0, bits = 0;
  bool ok = false;
};

inline DecodedFlac decodeFlac(const std::string& path) {
  DecodedFlac out;
  std::unique_ptr<FLAC__StreamDecoder, void (*)(FLAC__StreamDecoder*)> d(FLAC__stream_decoder_new(),
                                                                          FLAC__stream_decoder_delete);
  const auto onFrame = [](const FLAC__StreamDecoder*, const FLAC__Frame* frame, const FLAC__int32* const buffer[],
                          void* self) {
    auto& o = *static_cast<DecodedFlac*>(self);
    o.samples.insert(o.samples.end(), buffer[0], buffer[0] + frame->header.blocksize);
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
  };
  const auto onMeta = [](const FLAC__StreamDecoder*, const FLAC__StreamMetadata* m, void* self) {
    auto& o = *static_cast<DecodedFlac*>(self);
    if (m->type != FLAC__METADATA_TYPE_STREAMINFO) return;
    o.rate = m->data.stream_info.sample_rate, o.channels = m->data.stream_info.channels;
    o.bits = m->data.stream_info.bits_per_sample;
  };
  const auto onError = [](const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* self) {
    static_cast<DecodedFlac*>(self)->rate = 0;
  };
  if (FLAC__stream_decoder_init_file(d.get(), path.c_str(), onFrame, onMeta, onError, &out) !=
      FLAC__STREAM_DECODER_INIT_STATUS_OK)
    return out;
  out.ok = FLAC__stream_decoder_process_until_end_of_stream(d.get()) && FLAC__stream_decoder_finish(d.get());
  return out;
}

// An Ogg Opus file as mono 48 kHz floats, its pre-skip already dropped.
inline std::vector<float> decodeOpus(const std::string& path, int* channels = nullptr) {
  std::vector<float> out;
  int error = 0;
  std::unique_ptr<OggOpusFile, void (*)(OggOpusFile*)> f(op_open_file(path.c_str(), &error), op_free);
  if (!f) return out;
  if (channels) *channels = op_channel_count(f.get(), -1);
  std::vector<float> piece(5760);
  for (int n; (n = op_read_float(f.get(), piece.data(), static_cast<int>(piece.size()), nullptr)) > 0;)
    out.insert(out.end(), piece.begin(), piece.begin() + n);
  return out;
}

// Integrated loudness (LUFS) and true peak (dBTP) as the loudness library
// measures a mono track.
struct MeasuredLoudness {
  double lufs = 0.0, truePeakDb = 0.0;
};
inline MeasuredLoudness measureLoudness(std::span<const float> x, unsigned long rate) {
  ebur128_state* st = ebur128_init(1, rate, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
  ebur128_add_frames_float(st, x.data(), x.size());
  MeasuredLoudness m;
  double peak = 0.0;
  ebur128_loudness_global(st, &m.lufs);
  ebur128_true_peak(st, 0, &peak);
  m.truePeakDb = 20.0 * std::log10(peak);
  ebur128_destroy(&st);
  return m;
}

// Something like speech at amplitude `level`: a voice of five harmonics
// over 140 Hz, its syllables four a second, each second's last quarter a pause.
inline std::vector<float> speechLike(std::size_t n, double rate, float level) {
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rate;
    double v = 0.0;
    for (int h = 1; h <= 5; ++h) v += std::sin(2 * M_PI * 140 * h * t + h) / h;
    const double syllable = std::fmod(t, 1.0) < 0.75 ? std::fabs(std::sin(2 * M_PI * 2 * t)) : 0.0;
    x[i] = level * static_cast<float>(0.5 * v * syllable);
  }
  return x;
}
