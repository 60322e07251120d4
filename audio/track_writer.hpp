#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "audio/pending_file.hpp"

// The formats a written track can take, chosen by the output path's ending
// (exact and case-sensitive, as ".wav" is): ".flac" is FLAC, 16-bit mono at
// the track's rate; ".opus" is Ogg Opus, mono 48 kHz at about 48 kbit/s;
// anything else is the 16-bit WAV.
enum class TrackFormat { kWav, kFlac, kOpus };
TrackFormat trackFormatOf(std::string_view path);
// ".wav", ".flac" or ".opus".
std::string_view extensionOf(TrackFormat format);

// One track's file being written as it is made, whatever its format: begin()
// with its length and rate, write() its samples in order (full scale is 1.0;
// FLAC takes exactly the 16-bit samples the WAV would hold), then commit()
// renames the finished file into place (true when it is there). A writer
// given up before commit() removes its temporary file and leaves an older
// one alone.
class TrackWriter {
 public:
  using Durability = PendingFile::Durability;

  // Nothing when the format cannot describe the track or no file can be made
  // (errno then says why).
  static std::unique_ptr<TrackWriter> begin(const std::string& path, std::size_t frames,
                                            double sampleRate,
                                            Durability durability = Durability::kSynced);
  virtual ~TrackWriter() = default;

  virtual void write(std::span<const float> samples) = 0;  // a failure is kept for commit()
  virtual bool commit() = 0;
  // The errno of the first step that failed (0 when none did).
  virtual int error() const = 0;
};

// Writes `samples` whole as the format of `path` asks, as writeWav16 does a
// WAV: true when the file is in place (errno says why not).
bool writeTrack(std::span<const float> samples, double sampleRate, const std::string& path,
                TrackWriter::Durability durability = TrackWriter::Durability::kSynced);
