#include "audio/file_bytes.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace {

// Closes the descriptor on every path out of read().
struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// Fills as much of [p, p + n) as the file has; -1 on a read error.
long long readFully(int fd, std::byte* p, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, p + got, n - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  return static_cast<long long>(got);
}

}  // namespace

std::optional<FileBytes> FileBytes::read(const std::string& path) {
  Fd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(file.fd, &st) != 0) return std::nullopt;

  // A regular file is read straight into a block of its size; anything that
  // turns out longer (a growing file, a pipe reporting size 0) grows the
  // block until the end of the stream.
  std::size_t capacity = S_ISREG(st.st_mode) ? static_cast<std::size_t>(st.st_size) : 0;
  std::size_t size = 0;
  std::unique_ptr<std::byte[]> data(new (std::nothrow) std::byte[std::max<std::size_t>(capacity, 1)]);
  if (!data) return std::nullopt;
  if (capacity == 0) capacity = 1;
  for (;;) {
    const long long got = readFully(file.fd, data.get() + size, capacity - size);
    if (got < 0) return std::nullopt;
    size += static_cast<std::size_t>(got);
    if (size < capacity) break;  // end of file before the block was full
    // The block is full: probe for more before paying for a bigger one.
    std::byte probe;
    const long long more = readFully(file.fd, &probe, 1);
    if (more < 0) return std::nullopt;
    if (more == 0) break;
    const std::size_t grown = std::max<std::size_t>(capacity * 2, 64 * 1024);
    std::unique_ptr<std::byte[]> bigger(new (std::nothrow) std::byte[grown]);
    if (!bigger) return std::nullopt;
    std::memcpy(bigger.get(), data.get(), size);
    bigger[size++] = probe;
    data = std::move(bigger);
    capacity = grown;
  }
  return FileBytes(std::move(data), size);
}
