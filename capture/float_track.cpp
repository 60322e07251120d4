#include "capture/float_track.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "audio/wav_float.hpp"
#include "base/console.hpp"

namespace {

// Samples gathered before each write to the sink's file (4 MB).
constexpr std::size_t kPendingSamples = std::size_t{1} << 20;

// An unnamed file in `dir`; -1 when the filesystem has none to give.
int unnamedFile(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  // Filesystems without O_TMPFILE: a named file, unlinked at once.
  std::string name = dir + "/.narup-finish-XXXXXX";
  fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(name.c_str());
  return fd;
}

}  // namespace

FloatTrackSource::FloatTrackSource(int fd, std::uint64_t offset, std::int64_t fileSamples,
                                   std::vector<float> tail)
    : fd_(fd), offset_(offset), fileSamples_(fd >= 0 ? fileSamples : 0), tail_(std::move(tail)) {}

FloatTrackSource::FloatTrackSource(FloatTrackSource&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      offset_(other.offset_),
      fileSamples_(std::exchange(other.fileSamples_, 0)),
      tail_(std::move(other.tail_)) {}

FloatTrackSource::~FloatTrackSource() {
  if (fd_ >= 0) ::close(fd_);
}

void FloatTrackSource::readInside(int64_t first, int64_t count, float* dst) const {
  // [first, end) of the track, split at the end of the file part.
  const int64_t end = first + count;
  const int64_t fileEnd = std::min(end, fileSamples_);
  if (first < fileEnd) {
    const std::span<float> part(dst, static_cast<size_t>(fileEnd - first));
    if (!preadFloats(fd_, offset_ + 4 * static_cast<std::uint64_t>(first), part))
      std::fill(part.begin(), part.end(), 0.0f);  // a file cut short since it was opened
  }
  const int64_t tailFirst = std::max(first, fileSamples_);
  if (tailFirst < end)
    std::copy(tail_.begin() + (tailFirst - fileSamples_), tail_.begin() + (end - fileSamples_),
              dst + (tailFirst - first));
}

JoinedTrackSource::JoinedTrackSource(std::vector<FloatTrackSource> parts) {
  // Empty parts are left out: every part kept starts where none other does.
  for (FloatTrackSource& part : parts) {
    if (part.size() == 0) continue;
    starts_.push_back(size_);
    size_ += part.size();
    parts_.push_back(std::move(part));
  }
}

void JoinedTrackSource::readInside(int64_t first, int64_t count, float* dst) const {
  // The last part that starts at or before `first`, then on part by part.
  auto at = std::upper_bound(starts_.begin(), starts_.end(), first);
  for (size_t i = static_cast<size_t>(at - starts_.begin()) - 1; count > 0 && i < parts_.size(); ++i) {
    const int64_t inPart = first - starts_[i];
    const int64_t n = std::min(count, parts_[i].size() - inPart);
    if (n <= 0) continue;
    parts_[i].read(inPart, n, dst);
    first += n;
    dst += n;
    count -= n;
  }
}

std::optional<SpooledTrack> openSpooledTrack(const std::string& path,
                                             std::optional<std::uint64_t> fileSamples,
                                             std::vector<float> tail) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  const std::optional<WavFloatLayout> layout = wavFloat32Layout(fd);
  if (!layout) {
    ::close(fd);
    return std::nullopt;
  }
  const std::uint64_t frames = std::min(layout->frames, fileSamples.value_or(layout->frames));
  return SpooledTrack{
      FloatTrackSource(fd, layout->dataOffset, static_cast<std::int64_t>(frames), std::move(tail)),
      layout->rate};
}

FloatTrackSink::FloatTrackSink(const std::string& dir) : fd_(unnamedFile(dir)) {
  if (fd_ >= 0) pending_.reserve(kPendingSamples);
}

FloatTrackSink::~FloatTrackSink() {
  if (fd_ >= 0) ::close(fd_);
}

void FloatTrackSink::write(std::span<const float> samples) {
  if (fd_ < 0 || !tail_.empty()) {
    tail_.insert(tail_.end(), samples.begin(), samples.end());
    return;
  }
  while (!samples.empty()) {
    const std::size_t n = std::min(samples.size(), kPendingSamples - pending_.size());
    pending_.insert(pending_.end(), samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(n));
    samples = samples.subspan(n);
    if (pending_.size() == kPendingSamples) flush();
  }
}

// A write that fails (a full disk) leaves the file as far as it got whole;
// the rest goes to memory.
void FloatTrackSink::flush() {
  if (pending_.empty()) return;
  if (tail_.empty() && fd_ >= 0 && writeAll(fd_, pending_.data(), pending_.size() * sizeof(float))) {
    fileSamples_ += static_cast<std::int64_t>(pending_.size());
  } else {
    tail_.insert(tail_.end(), pending_.begin(), pending_.end());
  }
  pending_.clear();
}

FloatTrackSource FloatTrackSink::finish() {
  flush();
  std::vector<float>().swap(pending_);
  return FloatTrackSource(std::exchange(fd_, -1), 0, fileSamples_, std::move(tail_));
}
