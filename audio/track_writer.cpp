#include "audio/track_writer.hpp"

#include <cerrno>

#include "audio/flac_writer.hpp"
#include "audio/opus_writer.hpp"
#include "audio/wav_writer.hpp"

namespace {

// The WAV writer behind the one interface.
class WavTrackWriter final : public TrackWriter {
 public:
  explicit WavTrackWriter(Wav16FileWriter file) : file_(std::move(file)) {}
  void write(std::span<const float> samples) override { file_.write(samples); }
  bool commit() override { return file_.commit(); }
  int error() const override { return file_.error(); }

 private:
  Wav16FileWriter file_;
};

}  // namespace

TrackFormat trackFormatOf(std::string_view path) {
  if (path.ends_with(extensionOf(TrackFormat::kFlac))) return TrackFormat::kFlac;
  if (path.ends_with(extensionOf(TrackFormat::kOpus))) return TrackFormat::kOpus;
  return TrackFormat::kWav;
}

std::string_view extensionOf(TrackFormat format) {
  switch (format) {
    case TrackFormat::kFlac: return ".flac";
    case TrackFormat::kOpus: return ".opus";
    case TrackFormat::kWav: break;
  }
  return ".wav";
}

std::unique_ptr<TrackWriter> TrackWriter::begin(const std::string& path, std::size_t frames,
                                                double sampleRate, Durability durability) {
  const TrackFormat format = trackFormatOf(path);
  if (format == TrackFormat::kWav) {
    std::optional<Wav16FileWriter> wav = Wav16FileWriter::begin(path, frames, sampleRate, durability);
    if (!wav) return nullptr;
    return std::make_unique<WavTrackWriter>(std::move(*wav));
  }
  std::optional<PendingFile> file = PendingFile::open(path, durability);
  if (!file) return nullptr;
  return format == TrackFormat::kFlac ? beginFlac(std::move(*file), frames, sampleRate)
                                      : beginOpus(std::move(*file), sampleRate);
}

bool writeTrack(std::span<const float> samples, double sampleRate, const std::string& path,
                TrackWriter::Durability durability) {
  const std::unique_ptr<TrackWriter> out = TrackWriter::begin(path, samples.size(), sampleRate, durability);
  if (!out) return false;
  out->write(samples);
  if (out->commit()) return true;
  errno = out->error() != 0 ? out->error() : EIO;
  return false;
}
