#include "audio/wav_window_reader.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <span>
#include <utility>

namespace {

// Frames converted per read: 32 KiB of mono 16-bit samples, on the stack.
constexpr std::size_t kBlockBytes = 32768;

}  // namespace

// Only the chunk headers of the mapping are touched to find the samples;
// the mapping goes before anything is read, so the file's pages never count
// towards this process's memory.
std::optional<WavWindowReader> WavWindowReader::open(const std::string& path) {
  WavWindowReader r;
  r.fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st{};
  if (r.fd_ < 0 || ::fstat(r.fd_, &st) != 0) return std::nullopt;
  if (!S_ISREG(st.st_mode) || st.st_size == 0) {
    r.whole_ = readWav16(path);
    if (!r.whole_) return std::nullopt;
    r.layout_.rate = r.whole_->rate;
    r.layout_.frames = r.whole_->samples.size();
    return r;
  }
  // Read from front to back: the kernel reads ahead further, so the disk
  // works while the samples already read are being cleaned.
  ::posix_fadvise(r.fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  const auto size = static_cast<std::size_t>(st.st_size);
  void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, r.fd_, 0);
  if (map == MAP_FAILED) return std::nullopt;
  const std::optional<Wav16Layout> layout =
      wav16Layout(std::span<const std::byte>(static_cast<const std::byte*>(map), size));
  ::munmap(map, size);
  if (!layout) return std::nullopt;
  r.layout_ = *layout;
  return r;
}

WavWindowReader::WavWindowReader(WavWindowReader&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), layout_(other.layout_), whole_(std::move(other.whole_)) {}

WavWindowReader::~WavWindowReader() {
  if (fd_ >= 0) ::close(fd_);
}

void WavWindowReader::read(std::size_t first, std::size_t count, float* out) const {
  if (whole_) {
    std::copy_n(whole_->samples.data() + first, count, out);
    return;
  }
  const std::size_t frameBytes = 2 * layout_.channels;
  const std::size_t perBlock = std::max<std::size_t>(1, kBlockBytes / frameBytes);
  std::byte block[kBlockBytes + 2 * 65536];  // one frame of the most channels fits too
  while (count > 0) {
    const std::size_t n = std::min(count, perBlock);
    const std::size_t want = n * frameBytes;
    const auto at = static_cast<off_t>(layout_.dataStart + first * frameBytes);
    std::size_t got = 0;
    while (got < want) {
      const ssize_t r = ::pread(fd_, block + got, want - got, at + static_cast<off_t>(got));
      if (r <= 0) break;
      got += static_cast<std::size_t>(r);
    }
    std::memset(block + got, 0, want - got);  // a file cut short since it was opened
    wav16ToMono(block, layout_.channels, n, out);
    first += n;
    out += n;
    count -= n;
  }
}
