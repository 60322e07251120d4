#include "audio/pending_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <random>
#include <utility>

#include "base/console.hpp"

namespace {

// A long file is handed to the disk every this many bytes as it is written,
// so that the sync before the rename finds little left to do.
constexpr std::uint64_t kWritebackBytes = std::uint64_t{8} << 20;

// Closes the descriptor on every path out.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// Where the finished file goes. An existing symbolic link keeps pointing
// where it pointed: the file it names is the one replaced.
std::string targetOf(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return path;
  std::string target(resolved);
  std::free(resolved);
  return target;
}

// A file of the tool's own, not yet visible, created with O_EXCL, so an
// existing file is never touched.
int createTemporary(const std::string& dir, const std::string& name, std::string& tempPath) {
  std::random_device seed;
  std::mt19937_64 random(seed());
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string suffix(6, 'x');
    for (char& c : suffix) c = kLetters[random() % (sizeof kLetters - 1)];
    tempPath = dir + "/." + name + "." + suffix;
    const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// The rename is only durable once the directory itself is on disk.
void syncDirectory(const std::string& dir) {
  Fd d{::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (d.fd >= 0) ::fsync(d.fd);
}

bool isOtherThanFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

}  // namespace

std::optional<PendingFile> PendingFile::open(const std::string& path, Durability durability) {
  PendingFile f;
  f.synced_ = durability == Durability::kSynced;
  if (isOtherThanFile(path)) {
    f.fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } else {
    // Written whole under a temporary name, on disk, then renamed over the
    // path: a crash or a full disk leaves the older file or the new one,
    // never half of either.
    f.target_ = targetOf(path);
    const auto slash = f.target_.rfind('/');
    f.dir_ = slash == std::string::npos ? "." : (slash == 0 ? "/" : f.target_.substr(0, slash));
    const std::string name = slash == std::string::npos ? f.target_ : f.target_.substr(slash + 1);
    f.fd_ = createTemporary(f.dir_, name, f.tempPath_);
    if (f.fd_ >= 0) f.mark_.emplace(f.tempPath_);
  }
  if (f.fd_ < 0) return std::nullopt;
  return f;
}

PendingFile::PendingFile(PendingFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      ok_(other.ok_),
      error_(other.error_),
      synced_(other.synced_),
      position_(other.position_),
      end_(other.end_),
      flushed_(other.flushed_),
      holes_(other.holes_),
      tempPath_(std::move(other.tempPath_)),
      target_(std::move(other.target_)),
      dir_(std::move(other.dir_)),
      mark_(std::move(other.mark_)) {}

PendingFile::~PendingFile() {
  if (fd_ < 0) return;
  ::close(fd_);
  if (!tempPath_.empty()) ::unlink(tempPath_.c_str());
}

void PendingFile::failed() {
  ok_ = false;
  if (error_ == 0) error_ = errno != 0 ? errno : EIO;
}

void PendingFile::write(const void* data, std::size_t size) {
  if (!ok_ || size == 0) return;
  if (!writeAll(fd_, data, size)) return failed();
  position_ += size;
  end_ = std::max(end_, position_);
  if (synced_ && !tempPath_.empty() && end_ - flushed_ >= kWritebackBytes) {
    // Starts the writeback without waiting for it; a failure here changes
    // nothing, the sync before the rename still decides.
    ::sync_file_range(fd_, static_cast<off_t>(flushed_), static_cast<off_t>(end_ - flushed_),
                      SYNC_FILE_RANGE_WRITE);
    flushed_ = end_;
  }
}

bool PendingFile::skip(std::uint64_t bytes) {
  if (tempPath_.empty() || !ok_) return false;
  if (bytes == 0) return true;
  if (!seek(position_ + bytes)) return false;
  holes_ = true;
  return true;
}

bool PendingFile::seek(std::uint64_t offset) {
  if (!ok_ || ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return false;
  position_ = offset;
  end_ = std::max(end_, position_);
  return true;
}

bool PendingFile::commit() {
  if (fd_ < 0) return false;
  // A hole at the end is only part of the file once the length says so.
  if (holes_ && ok_ && ::ftruncate(fd_, static_cast<off_t>(end_)) != 0) failed();
  const int fd = std::exchange(fd_, -1);
  if (tempPath_.empty()) {
    if (::close(fd) != 0) failed();
    return ok_;
  }
  if (ok_ && synced_ && ::fdatasync(fd) != 0) failed();
  if (::close(fd) != 0) failed();
  if (!ok_ || ::rename(tempPath_.c_str(), target_.c_str()) != 0) {
    if (ok_) failed();
    ::unlink(tempPath_.c_str());
    mark_.reset();
    return false;
  }
  mark_.reset();
  if (synced_) syncDirectory(dir_);
  return true;
}
