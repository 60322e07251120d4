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
#include "capture/spool_paths.hpp"

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

// Every folder of `dir` that is missing, from the top: a fallback folder
// may lie several levels below one that exists (~/.local/state/...).
void makeFolders(const std::string& dir) {
  for (std::size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1))
    ::mkdir(dir.substr(0, slash).c_str(), 0777);
  ::mkdir(dir.c_str(), 0777);
}

std::uint64_t headerBytes() { return wavHeaderFloat32(0, 0.0).size(); }

}  // namespace

TrackSpool::TrackSpool(std::string path, std::string label, SpoolTiming timing,
                       std::vector<std::string> fallbackDirs)
    : firstPath_(std::move(path)), label_(std::move(label)), timing_(timing),
      lastSync_(std::chrono::steady_clock::now()) {
  places_.push_back(folderOf(firstPath_));
  places_.insert(places_.end(), fallbackDirs.begin(), fallbackDirs.end());
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
  const auto now = std::chrono::steady_clock::now();
  if (!writing_.empty() || (!inMemory_.empty() && now >= nextRetry_)) {
    store(writing_, rate);
    writing_.clear();
    if (writing_.capacity() > kKeepCapacity) std::vector<float>().swap(writing_);
  }
  if (inUse_ && unsynced_ && now - lastSync_ >= timing_.syncEvery) {
    if (!syncFile(fd_)) {
      // What the disk keeps of the part past its last sync is no longer
      // certain: the track goes on in a new part wherever one can be made.
      const int error = errno;
      const std::size_t failed = place_;
      endPart();
      relocate({}, rate, failed, error);
    }
    lastSync_ = now;
    unsynced_ = false;
  }
}

void TrackSpool::store(std::span<const float> batch, double rate) {
  const auto now = std::chrono::steady_clock::now();
  if (!std::exchange(everStored_, true)) {
    // The first part: in the spool's own folder, or wherever one can be made.
    const int error = startPart(0, batch, rate) ? 0 : errno;
    if (error != 0) relocate(batch, rate, 0, error);
    return;
  }
  // Better folders than the one in use (every folder, while memory holds
  // the track) are tried again when due, the spool's own first.
  if ((!inUse_ || place_ > 0) && now >= nextRetry_) {
    const std::size_t before = inUse_ ? place_ : places_.size();
    for (std::size_t p = 0; p < before; ++p) {
      if (startPart(p, batch, rate)) {
        logErr("spool " + label_ + ": recording goes on in " + places_[p]);
        return;
      }
    }
    nextRetry_ = now + timing_.retryEvery;
  }
  if (!inUse_) return keepInMemory(batch);
  if (writeToPart(batch, rate)) return;
  const int error = errno;
  const std::size_t failed = place_;
  endPart();
  relocate(batch, rate, failed, error);
}

void TrackSpool::relocate(std::span<const float> batch, double rate, std::size_t failed, int error) {
  nextRetry_ = std::chrono::steady_clock::now() + timing_.retryEvery;
  const std::string why = "[WARN] spool " + label_ + ": " + std::generic_category().message(error);
  // Every other folder now, in order; the one that failed waits its turn.
  for (std::size_t p = 0; p < places_.size(); ++p) {
    if (p != failed && startPart(p, batch, rate)) {
      logErr(why + " — recording goes on in " + places_[p]);
      return;
    }
  }
  logErr(why + " — recording goes on in memory");
  keepInMemory(batch);
}

bool TrackSpool::startPart(std::size_t place, std::span<const float> batch, double rate) {
  const std::string& dir = places_[place];
  if (place == 0) ::mkdir(dir.c_str(), 0777);  // usually there already
  else makeFolders(dir);
  const std::string path =
      place == 0 && nextIndex_ == 0 ? firstPath_ : spoolPartPath(dir, label_, nextIndex_);
  // Only a file made here is taken away again when it takes nothing: the
  // path may name something else (a device).
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  const bool made = fd >= 0;
  if (!made && errno == EEXIST) fd = ::open(path.c_str(), O_RDWR | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return false;
  // What memory holds comes first: it was recorded before the batch.
  const std::uint64_t samples = inMemory_.size() + batch.size();
  const auto empty = wavHeaderFloat32(0, rate);
  const auto header = wavHeaderFloat32(samples, rate);
  const bool ok = writeAll(fd, empty.data(), empty.size()) &&
                  writeAll(fd, inMemory_.data(), inMemory_.size() * sizeof(float)) &&
                  writeAll(fd, batch.data(), batch.size_bytes()) &&
                  pwriteAll(fd, header.data(), header.size(), 0);
  if (!ok) {
    const int error = errno;
    ::close(fd);
    if (made) ::unlink(path.c_str());
    errno = error;
    return false;
  }
  endPart();  // the part before it, when a better folder takes over
  fd_ = fd;
  partPath_ = path;
  place_ = place;
  inUse_ = true;
  ++nextIndex_;
  fileSamples_ = samples;
  unsynced_ = true;
  std::vector<float>().swap(inMemory_);
  diskBytes_ += headerBytes() + 4 * samples;
  return true;
}

bool TrackSpool::writeToPart(std::span<const float> batch, double rate) {
  // Samples first, then the sizes that cover them: a reader (or a kill) in
  // between finds a header one write behind its data, never ahead of it.
  if (!writeAll(fd_, batch.data(), batch.size_bytes())) return false;
  const auto header = wavHeaderFloat32(fileSamples_ + batch.size(), rate);
  if (!pwriteAll(fd_, header.data(), header.size(), 0)) return false;
  fileSamples_ += batch.size();
  diskBytes_ += batch.size_bytes();
  unsynced_ = true;
  return true;
}

void TrackSpool::endPart() {
  if (!inUse_) return;
  // A write cut short leaves part of a batch behind: the part keeps only its
  // whole writes, so that its file alone says what it holds.
  const auto kept = static_cast<off_t>(headerBytes() + 4 * fileSamples_);
  struct stat st {};
  if (::fstat(fd_, &st) == 0 && st.st_size > kept) {
    diskBytes_ -= static_cast<std::uint64_t>(st.st_size - kept);
    [[maybe_unused]] const int cut = ::ftruncate(fd_, kept);
  }
  syncFile(fd_);
  ::close(fd_);
  parts_.push_back({partPath_, fileSamples_});
  fd_ = -1;
  inUse_ = false;
  fileSamples_ = 0;
  unsynced_ = false;
}

void TrackSpool::keepInMemory(std::span<const float> batch) {
  place_ = places_.size();
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
  // A last try for what memory holds: a folder that takes it now keeps it
  // beyond the process.
  if (!inMemory_.empty()) {
    for (std::size_t p = 0; p < places_.size() && !startPart(p, {}, rate()); ++p) {
    }
  }
  if (inUse_ && unsynced_ && !syncFile(fd_)) {
    const int error = errno;
    logErr("[WARN] spool " + label_ + ": " + std::generic_category().message(error));
  }
  unsynced_ = false;
}

std::optional<JoinedTrackSource> TrackSpool::handOver() {
  std::lock_guard<std::mutex> file(fileLock_);
  endPart();
  std::vector<FloatTrackSource> pieces;
  pieces.reserve(parts_.size() + 1);
  for (const ClosedPart& part : parts_) {
    std::optional<SpooledTrack> track = openSpooledTrack(part.path, part.samples);
    if (!track || static_cast<std::uint64_t>(track->source.size()) < part.samples) return std::nullopt;
    pieces.push_back(std::move(track->source));
  }
  pieces.emplace_back(-1, 0, 0, std::exchange(inMemory_, {}));
  return JoinedTrackSource(std::move(pieces));
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
