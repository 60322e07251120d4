#pragma once

#include <cstddef>

// Memory for the canceller's megabyte-sized arrays (the long transforms'
// scratch). It is mapped afresh for each buffer, so it starts as zeros with
// no pass of its own, it starts on a 2 MiB boundary, and it is offered to
// the kernel for transparent huge pages before anything touches it: the long
// transforms' strided passes then walk a few dozen page-table entries
// instead of thousands. Throws std::bad_alloc when the memory cannot be had,
// as `new` does.
class LargeBuffer {
 public:
  explicit LargeBuffer(size_t bytes);
  ~LargeBuffer();
  LargeBuffer(const LargeBuffer&) = delete;
  LargeBuffer& operator=(const LargeBuffer&) = delete;

  template <class T>
  T* as() const {
    return static_cast<T*>(data_);
  }
  size_t bytes() const { return bytes_; }

 private:
  void* data_ = nullptr;
  size_t bytes_ = 0;
  size_t mapped_ = 0;
};

// Offers the whole 2 MiB pages inside [data, data + bytes) for transparent
// huge pages. Meant for memory not yet touched (an allocation just made);
// a hint only: whatever the kernel answers, nothing changes for the caller.
void adviseHugePages(void* data, size_t bytes);

// Has the kernel back [data, data + bytes) with memory now, in one call,
// rather than one page fault per page as it is first written (Linux 5.14 on;
// elsewhere, or when refused, the pages come with the writes as before).
// For a large allocation about to be written from start to end.
void populateForWriting(void* data, size_t bytes);
