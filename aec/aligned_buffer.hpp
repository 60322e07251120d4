#pragma once

#include <cstddef>
#include <new>
#include <vector>

// Allocator for sample and spectrum arrays handed to the transforms: 64-byte
// alignment lets the prepared transforms run their vector code directly on
// the caller's arrays instead of copying them.
template <class T>
struct AlignedAllocator {
  using value_type = T;
  static constexpr std::align_val_t kAlignment{64};

  AlignedAllocator() noexcept = default;
  template <class U>
  AlignedAllocator(const AlignedAllocator<U>&) noexcept {}

  T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), kAlignment)); }
  void deallocate(T* p, size_t) noexcept { ::operator delete(p, kAlignment); }

  template <class U>
  bool operator==(const AlignedAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using AlignedVector = std::vector<T, AlignedAllocator<T>>;
