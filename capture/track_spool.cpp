#include "capture/track_spool.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>
#include <utility>

#include "audio/wav_float.hpp"
#include "base/console.hpp"

namespace {

// A write buffer that grew past this many samples (about five seconds at
// 48 kHz, 1 MB) after the disk fell behind is given back rather than kept.
constexpr std::size_t kKeepCapacity = std::size_t{1} << 18;

bool pwriteAll(int fd, const void* data, std::size_t size, off_t offset) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, p, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

// A file that cannot be synced at all (a device such as /dev/null answers
// EINVAL) has nothing to lose; only a failed sync of a real file counts.
bool syncFile(int fd) { return ::fdatasync(fd) == 0 || errno == EINVAL; }

std::string folderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

}  // namespace

TrackSpool::TrackSpool(std::string path, std::string label, SpoolTiming timing)
    : path_(std::move(path)), label_(std::move(label)), timing_(timing),
      lastSync_(std::chrono::steady_clock::now()) {
  writer_ = std::thread([this] { writerLoop(); });
}

TrackSpool::~TrackSpool() {
  close();
  if (fd_ >= 0) ::close(fd_);
}

void TrackSpool::append(double rate, std::span<const float> samples) {
  if (samples.empty()) return;
  bool first = false;
  bool lost = false;
  {
    std::lock_guard<std::mutex> hold(pendingLock_);
    if (closed_) return;
    try {
      pending_.insert(pending_.end(), samples.begin(), samples.end());
    } catch (const std::bad_alloc&) {
      lost = !std::exchange(memoryOut_, true);
    }
    rate_ = rate;
    first = !wantFile_;
    wantFile_ = true;
  }
  if (lost) logErr("[WARN] spool " + label_ + ": out of memory — samples lost");
  // The file appears with the first buffer, not a write interval later.
  if (first) wake_.notify_one();
}

void TrackSpool::writerLoop() {
  std::unique_lock<std::mutex> hold(pendingLock_);
  bool fileAsked = false;
  while (!stopping_) {
    wake_.wait_for(hold, timing_.writeEvery,
                   [&] { return stopping_ || (wantFile_ && !fileAsked); });
    if (stopping_) break;
    fileAsked = wantFile_;
    hold.unlock();
    flushNow();
    hold.lock();
  }
}

void TrackSpool::flushNow() {
  std::lock_guard<std::mutex> file(fileLock_);
  double rate = 0.0;
  {
    // The appends go on into the buffer just written, emptied: in steady
    // state nothing is allocated on either side.
    std::lock_guard<std::mutex> hold(pendingLock_);
    std::swap(pending_, writing_);
    rate = rate_;
  }
  if (!writing_.empty()) {
    if (failed_ || !writeBatch(writing_, rate)) keepInMemory(writing_);
    writing_.clear();
    if (writing_.capacity() > kKeepCapacity) std::vector<float>().swap(writing_);
  }
  const auto now = std::chrono::steady_clock::now();
  if (fd_ >= 0 && !failed_ && unsynced_ && now - lastSync_ >= timing_.syncEvery) {
    if (!syncFile(fd_)) fallBackToMemory(errno);
    lastSync_ = now;
    unsynced_ = false;
  }
}

void TrackSpool::keepInMemory(std::span<const float> batch) {
  try {
    inMemory_.insert(inMemory_.end(), batch.begin(), batch.end());
  } catch (const std::bad_alloc&) {
    bool first = false;
    {
      std::lock_guard<std::mutex> hold(pendingLock_);
      first = !std::exchange(memoryOut_, true);
    }
    if (first) logErr("[WARN] spool " + label_ + ": out of memory — samples lost");
  }
}

bool TrackSpool::openFile(double rate) {
  const std::string folder = folderOf(path_);
  if (!folder.empty()) ::mkdir(folder.c_str(), 0777);  // usually made already
  fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) return false;
  const auto header = wavHeaderFloat32(0, rate);
  return writeAll(fd_, header.data(), header.size());
}

bool TrackSpool::writeBatch(std::span<const float> batch, double rate) {
  // Samples first, then the sizes that cover them: a reader (or a kill) in
  // between finds a header one write behind its data, never ahead of it.
  const bool ok = (fd_ >= 0 || openFile(rate)) && writeAll(fd_, batch.data(), batch.size_bytes()) &&
                  [&] {
                    const auto header = wavHeaderFloat32(fileSamples_ + batch.size(), rate);
                    return pwriteAll(fd_, header.data(), header.size(), 0);
                  }();
  if (!ok) {
    fallBackToMemory(errno);
    return false;
  }
  fileSamples_ += batch.size();
  unsynced_ = true;
  return true;
}

void TrackSpool::fallBackToMemory(int error) {
  failed_ = true;
  logErr("[WARN] spool " + label_ + ": " + std::generic_category().message(error) +
         " — recording goes on in memory");
}

void TrackSpool::close() {
  {
    std::lock_guard<std::mutex> hold(pendingLock_);
    if (closed_) return;
    closed_ = true;
    stopping_ = true;
  }
  wake_.notify_all();
  if (writer_.joinable()) writer_.join();
  flushNow();
  std::lock_guard<std::mutex> file(fileLock_);
  if (fd_ >= 0 && !failed_ && unsynced_ && !syncFile(fd_)) fallBackToMemory(errno);
  unsynced_ = false;
}

std::optional<FloatTrackSource> TrackSpool::handOver() {
  std::lock_guard<std::mutex> file(fileLock_);
  if (fileSamples_ == 0) return FloatTrackSource(-1, 0, 0, std::exchange(inMemory_, {}));
  const std::uint64_t whole = fileSamples_ + inMemory_.size();
  std::optional<SpooledTrack> track = openSpooledTrack(path_, fileSamples_, std::exchange(inMemory_, {}));
  if (!track || static_cast<std::uint64_t>(track->source.size()) < whole) return std::nullopt;
  return std::move(track->source);
}

double TrackSpool::rate() const {
  std::lock_guard<std::mutex> hold(pendingLock_);
  return rate_;
}

std::size_t TrackSpool::samplesInMemory() const {
  std::lock_guard<std::mutex> file(fileLock_);
  std::lock_guard<std::mutex> hold(pendingLock_);
  return pending_.capacity() + writing_.capacity() + inMemory_.capacity();
}
