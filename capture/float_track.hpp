#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "aec/sample_source.hpp"

// A mono float track lying in a file (`fileSamples` samples from byte
// `offset`) and continued by a part in memory: a spool track (with what a
// failed write left in memory), or the cleaned microphone of a finish. Read
// with pread, not mapped: the file's pages never count toward this
// process's memory, however long the track.
class FloatTrackSource final : public SampleSource {
 public:
  // Takes over `fd` (may be -1 when the whole track is in memory).
  FloatTrackSource(int fd, std::uint64_t offset, std::int64_t fileSamples, std::vector<float> tail);
  ~FloatTrackSource() override;
  FloatTrackSource(FloatTrackSource&& other) noexcept;
  FloatTrackSource& operator=(FloatTrackSource&&) = delete;
  FloatTrackSource(const FloatTrackSource&) = delete;

  int64_t size() const override { return fileSamples_ + static_cast<int64_t>(tail_.size()); }

 private:
  // Samples the file no longer holds read as 0.
  void readInside(int64_t first, int64_t count, float* dst) const override;

  int fd_;
  std::uint64_t offset_;
  std::int64_t fileSamples_;
  std::vector<float> tail_;
};

// A track made of pieces one after the other (the parts of a spooled track,
// the last perhaps held in memory), read as one.
class JoinedTrackSource final : public SampleSource {
 public:
  explicit JoinedTrackSource(std::vector<FloatTrackSource> parts);
  int64_t size() const override { return size_; }

 private:
  void readInside(int64_t first, int64_t count, float* dst) const override;

  std::vector<FloatTrackSource> parts_;
  std::vector<int64_t> starts_;  // position of each part's first sample
  int64_t size_ = 0;
};

// A float WAV track as a recording spools it, with its rate. `fileSamples`
// limits the samples taken from the file (the count its writer knows to be
// whole), otherwise all its whole samples count; `tail` follows them.
// Nothing when the file cannot be opened or is not in the spool's layout.
struct SpooledTrack {
  FloatTrackSource source;
  double rate;
};
std::optional<SpooledTrack> openSpooledTrack(const std::string& path,
                                             std::optional<std::uint64_t> fileSamples = {},
                                             std::vector<float> tail = {});

// Takes a track as it is made into an unnamed file in `dir` (gone when
// closed, whatever happens), gathering writes in large pieces; when no file
// can be made or a write fails, the rest is kept in memory instead.
class FloatTrackSink final : public SampleSink {
 public:
  explicit FloatTrackSink(const std::string& dir);
  ~FloatTrackSink() override;
  FloatTrackSink(const FloatTrackSink&) = delete;
  FloatTrackSink& operator=(const FloatTrackSink&) = delete;

  void write(std::span<const float> samples) override;
  // Everything written, to be read back; the sink is spent.
  FloatTrackSource finish();

 private:
  void flush();

  int fd_ = -1;
  std::int64_t fileSamples_ = 0;
  std::vector<float> pending_;
  std::vector<float> tail_;
};
