#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "audio/pending_file.hpp"

// Size of the canonical header of a mono 16-bit PCM WAV file, and of the
// RF64 header of one too long for it (the same fields after a "ds64" chunk).
inline constexpr std::size_t kWavHeaderSize = 44;
inline constexpr std::size_t kWavRf64HeaderSize = 80;

struct Wav16Header {
  std::array<std::byte, kWavRf64HeaderSize> bytes{};
  std::size_t size = 0;  // kWavHeaderSize or kWavRf64HeaderSize
  std::span<const std::byte> view() const { return {bytes.data(), size}; }
};

// The header of a mono 16-bit file of `frames` samples at `sampleRate`
// (truncated to an integer): the canonical 44 bytes while the RIFF size
// (36 + 2 * frames) fits in 32 bits, the RF64 form beyond. Nothing for a
// rate the 32-bit rate fields cannot hold (not finite, not in [0, 2^31)) or
// a length no 64-bit size holds.
std::optional<Wav16Header> wavHeader16(std::uint64_t frames, double sampleRate);

// The 16-bit little-endian form of each sample, 2 bytes each, as written.
void wav16Samples(std::span<const float> samples, std::byte* out);

// Writes `samples` as a mono 16-bit PCM WAV file with the 44-byte header.
// The file is written under a temporary name beside `path`, synced and
// renamed into place: an older file of that name stays whole until the new
// one is complete, and a failed write leaves no file behind. True when the
// file is in place; callers that only write and go on may ignore it (errno
// says why it is not). A track or rate the header cannot describe writes no
// file at all.
bool writeWav16(std::span<const float> samples, double sampleRate, const std::string& path);

// The same for a track written as it is made: begin() with its length,
// write() its samples in order, then commit() renames the synced file into
// place (true when it is there). A writer given up before commit() removes
// its temporary file and leaves the older one alone. Something that is not
// a regular file (a pipe, /dev/null) is written in place.
class Wav16FileWriter {
 public:
  using Durability = PendingFile::Durability;

  // Nothing when the header cannot describe the track or no file can be made
  // (errno then says why).
  static std::optional<Wav16FileWriter> begin(const std::string& path, std::size_t frames,
                                              double sampleRate,
                                              Durability durability = Durability::kSynced);
  ~Wav16FileWriter();
  Wav16FileWriter(Wav16FileWriter&& other) noexcept;
  Wav16FileWriter& operator=(Wav16FileWriter&&) = delete;
  Wav16FileWriter(const Wav16FileWriter&) = delete;

  void write(std::span<const float> samples);  // a failure is kept for commit()
  // `frames` samples of silence: in a file of our own they are left as a
  // hole, which reads as zeros and takes no room on the disk (how the tests
  // make files past 4 GiB in a moment).
  void writeSilence(std::uint64_t frames);
  bool commit();
  // The errno of the first step that failed (0 when none did): what kept
  // the file from its place.
  int error() const { return file_.error(); }

 private:
  explicit Wav16FileWriter(PendingFile file) : file_(std::move(file)) {}
  void flush();  // what the buffer holds goes to the file

  PendingFile file_;
  std::vector<std::byte> pending_;  // converted samples not yet written
  std::size_t used_ = 0;            // bytes of pending_ in use
};
