#include "aec/large_buffer.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace {

constexpr uintptr_t kHugePage = uintptr_t{1} << 21;
constexpr uintptr_t kPage = 4096;
#ifdef MADV_POPULATE_WRITE
constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
constexpr int kPopulateWrite = 23;  // the Linux value, for older headers
#endif

uintptr_t roundUp(uintptr_t x, uintptr_t to) { return (x + to - 1) & ~(to - 1); }

}  // namespace

// The mapping is made one huge page larger than needed and trimmed to start
// on a 2 MiB boundary; its end is rounded to a small page only, so a buffer
// a few bytes over a multiple of 2 MiB (a half spectrum of N/2 + 1 bins)
// costs one small page, not one huge page, for its tail.
LargeBuffer::LargeBuffer(size_t bytes) {
  const uintptr_t length = roundUp(bytes == 0 ? 1 : bytes, kPage);
  void* raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const uintptr_t begin = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = roundUp(begin, kHugePage);
  if (aligned > begin) munmap(raw, aligned - begin);
  const uintptr_t end = begin + length + kHugePage;
  if (end > aligned + length) munmap(reinterpret_cast<void*>(aligned + length), end - aligned - length);
  data_ = reinterpret_cast<void*>(aligned);
  bytes_ = bytes;
  mapped_ = length;
  madvise(data_, mapped_, MADV_HUGEPAGE);
}

LargeBuffer::~LargeBuffer() { munmap(data_, mapped_); }

void adviseHugePages(void* data, size_t bytes) {
  const uintptr_t begin = roundUp(reinterpret_cast<uintptr_t>(data), kHugePage);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kHugePage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void populateForWriting(void* data, size_t bytes) {
  const uintptr_t begin = roundUp(reinterpret_cast<uintptr_t>(data), kPage);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kPage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, kPopulateWrite);
}
