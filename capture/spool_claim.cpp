#include "capture/spool_claim.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "audio/channel_path.hpp"
#include "audio/wav_float.hpp"
#include "base/console.hpp"

namespace {

std::string reasonOf(int error) { return std::generic_category().message(error); }

std::string cannotRecord(const std::string& path, const std::string& reason) {
  return "cannot record to " + path + ": " + reason;
}

// Why `path` cannot be an output file, or nothing: a missing path is fine
// (it will be made), a file is fine (it will be replaced whole).
std::optional<std::string> notAFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  if (S_ISDIR(st.st_mode)) return reasonOf(EISDIR);
  if (!S_ISREG(st.st_mode)) return std::string("not a regular file");
  return std::nullopt;
}

std::optional<std::string> folderRefuses(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) return reasonOf(errno);
  if (!S_ISDIR(st.st_mode)) return reasonOf(ENOTDIR);
  if (::access(folder.c_str(), W_OK | X_OK) != 0) return reasonOf(errno);
  return std::nullopt;
}

// The process id written in a lock file, as text ("?" when unreadable).
std::string holderOf(int fd) {
  char text[32] = {};
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  const long pid = n > 0 ? std::strtol(text, nullptr, 10) : 0;
  return pid > 0 ? std::to_string(pid) : "?";
}

// Opens (making it if need be) and locks the lock file of `dir` without
// waiting. -1 with errno EWOULDBLOCK when someone holds it; `holder` then
// names them.
int tryLock(const std::string& lockPath, std::string* holder, bool make = true) {
  const int fd = ::open(lockPath.c_str(), make ? O_RDWR | O_CREAT | O_CLOEXEC : O_RDONLY | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
  const int error = errno;
  if (holder != nullptr) *holder = holderOf(fd);
  ::close(fd);
  errno = error;
  return -1;
}

// Locks a spool that is there already, changing nothing in it: its lock
// file, or, in a spool without one (an earlier build's, whose recording is
// not alive), the folder itself.
int lockExisting(const SpoolPaths& paths, std::string* holder) {
  const int fd = tryLock(paths.lock, holder, false);
  if (fd >= 0 || errno != ENOENT) return fd;
  return tryLock(paths.dir, holder, false);
}

void writeHolder(int fd) {
  const std::string pid = std::to_string(::getpid()) + "\n";
  [[maybe_unused]] const int cut = ::ftruncate(fd, 0);
  [[maybe_unused]] const ssize_t n = ::pwrite(fd, pid.data(), pid.size(), 0);
}

bool sameFile(int fd, const std::string& path) {
  struct stat a {}, b {};
  return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

std::string stillRecorded(const std::string& outPath, const std::string& holder) {
  return outPath + " is still being recorded (process " + holder + ")";
}

// The spool made under a temporary name, locked, then renamed into place
// without replacing anything: the folder appears already locked. -1 with
// errno EEXIST when a spool is there.
int makeLockedSpool(const SpoolPaths& paths) {
  std::string temp = paths.dir + ".XXXXXX";
  if (::mkdtemp(temp.data()) == nullptr) return -1;
  const std::string lockPath = temp + "/lock";
  const int fd = tryLock(lockPath, nullptr);
  if (fd >= 0) {
    writeHolder(fd);
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, paths.dir.c_str(), RENAME_NOREPLACE) == 0)
      return fd;
  }
  int error = errno;
  if (error == ENOTEMPTY) error = EEXIST;
  if (fd >= 0) ::close(fd);
  ::unlink(lockPath.c_str());
  ::rmdir(temp.c_str());
  if (fd >= 0 && (error == EINVAL || error == ENOSYS)) {
    // A filesystem without renaming that never replaces: the folder is
    // made and locked in two steps.
    if (::mkdir(paths.dir.c_str(), 0777) != 0) return -1;
    const int late = tryLock(paths.lock, nullptr);
    if (late >= 0) writeHolder(late);
    return late;
  }
  errno = error;
  return -1;
}

}  // namespace

SpoolLock::~SpoolLock() {
  if (fd_ >= 0) ::close(fd_);
}

SpoolLock::SpoolLock(SpoolLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

std::string earlierSpoolMessage(const std::string& outPath) {
  return "spool of an earlier recording exists: " + spoolPaths(outPath).dir +
         " — run narup-capture --recover " + outPath;
}

bool spoolHoldsSamples(const SpoolPaths& paths) {
  for (const char* label : {"sys", "mic"}) {
    for (const SpoolPart& part : findSpoolParts(paths, label)) {
      const int fd = ::open(part.path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      const std::optional<WavFloatLayout> layout = wavFloat32Layout(fd);
      struct stat st {};
      const bool empty = ::fstat(fd, &st) == 0 && st.st_size == 0;
      ::close(fd);
      if (!empty && (!layout || layout->frames > 0)) return true;
    }
  }
  return false;
}

std::variant<SpoolLock, std::string> claimSpool(const std::string& outPath, bool channels) {
  if (std::optional<std::string> why = folderRefuses(folderOf(outPath)))
    return cannotRecord(outPath, *why);
  std::vector<std::string> outputs{outPath};
  if (channels) {
    outputs.push_back(channelPath(outPath, "mic"));
    outputs.push_back(channelPath(outPath, "sys"));
  }
  for (const std::string& path : outputs) {
    if (std::optional<std::string> why = notAFile(path)) return cannotRecord(path, *why);
  }
  const SpoolPaths paths = spoolPaths(outPath);
  // Two rounds: an empty spool found the first time is taken away.
  for (int round = 0; round < 2; ++round) {
    const int fd = makeLockedSpool(paths);
    if (fd >= 0) return SpoolLock(fd);
    if (errno != EEXIST) return cannotRecord(outPath, reasonOf(errno));
    struct stat st {};
    if (::stat(paths.dir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
      return cannotRecord(outPath, paths.dir + ": " + reasonOf(EEXIST));
    std::string holder;
    const int held = lockExisting(paths, &holder);
    if (held < 0) {
      if (errno == EWOULDBLOCK) return stillRecorded(outPath, holder);
      return earlierSpoolMessage(outPath);  // a spool we may not even lock is left alone
    }
    // Ours now; still the spool's own lock (not one a racing recording
    // removed and made anew), and nothing in it: it goes.
    const bool removable =
        (sameFile(held, paths.lock) || sameFile(held, paths.dir)) && !spoolHoldsSamples(paths);
    if (removable) removeSpool(paths);
    ::close(held);
    if (!removable) return earlierSpoolMessage(outPath);
  }
  return earlierSpoolMessage(outPath);
}

RecoveryClaim lockSpoolForRecovery(const std::string& outPath) {
  const SpoolPaths paths = spoolPaths(outPath);
  RecoveryClaim claim;
  struct stat st {};
  if (::stat(paths.dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return claim;
  std::string holder;
  const int fd = lockExisting(paths, &holder);
  if (fd >= 0) {
    claim.lock.emplace(fd);
  } else if (errno == EWOULDBLOCK) {
    claim.failure = stillRecorded(outPath, holder);
  } else {
    // A spool whose lock cannot be made (a read-only folder): recovered
    // all the same, as nobody can be recording into it.
    claim.lock.emplace(-1);
  }
  return claim;
}
