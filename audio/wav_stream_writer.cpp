#include "audio/wav_stream_writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include "audio/wav_writer.hpp"
#include "base/console.hpp"

namespace {

// Bytes gathered before each write.
constexpr std::size_t kPendingBytes = std::size_t{1} << 20;

}  // namespace

std::optional<WavStreamWriter> WavStreamWriter::create(const std::string& path, std::size_t frames,
                                                       double sampleRate) {
  const auto header = wavHeader16(frames, sampleRate);
  if (!header) return std::nullopt;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  WavStreamWriter w(fd);
  w.pending_.reserve(kPendingBytes + kWavHeaderSize);
  w.pending_.assign(header->begin(), header->end());
  return w;
}

WavStreamWriter::WavStreamWriter(WavStreamWriter&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), pending_(std::move(other.pending_)) {}

WavStreamWriter::~WavStreamWriter() {
  if (fd_ < 0) return;
  flush();
  ::close(fd_);
}

void WavStreamWriter::write(std::span<const float> samples) {
  while (!samples.empty()) {
    const std::size_t room = (kPendingBytes - std::min(kPendingBytes, pending_.size())) / 2;
    const std::size_t n = std::min(samples.size(), std::max<std::size_t>(room, 1));
    const std::size_t at = pending_.size();
    pending_.resize(at + 2 * n);
    wav16Samples(samples.first(n), pending_.data() + at);
    samples = samples.subspan(n);
    if (pending_.size() >= kPendingBytes) flush();
  }
}

void WavStreamWriter::restart() {
  flush();
  if (fd_ >= 0) ::lseek(fd_, static_cast<off_t>(kWavHeaderSize), SEEK_SET);
}

void WavStreamWriter::flush() {
  if (fd_ >= 0 && !pending_.empty()) writeAll(fd_, pending_.data(), pending_.size());
  pending_.clear();
}
