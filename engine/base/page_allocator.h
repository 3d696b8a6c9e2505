// An allocator for vectors that can grow to several MiB and are freed
// while the process goes on: large blocks are mapped straight from the
// system and unmapped when freed, small ones come from operator new.
//
// Why not malloc for those: glibc hands a large block out as its own
// mapping and, once it is freed, raises its threshold for that to the
// block's size, so that later blocks as large come from its arenas. There
// a freed block that ends up at the top of an arena stays resident for as
// long as it is smaller than the trim threshold (twice the other), and not
// even malloc_trim gives it back; with an arena per thread, tables freed on
// many threads stay resident by the hundred MiB though nothing uses them.
//
// Stateless: any two allocators are equal, and any thread may free what
// another allocated.

#ifndef PALLIX_BASE_PAGE_ALLOCATOR_H_
#define PALLIX_BASE_PAGE_ALLOCATOR_H_

#include <cstddef>
#include <limits>
#include <new>
#include <vector>

#include "base/port.h"

namespace pallix {

// Blocks from this size on are mapped: from here, the cost of a mapping
// is small beside the cost of touching the block's pages.
inline constexpr size_t kMappedBlockBytes = size_t{256} << 10;

template <typename T>
class PageAllocator {
 public:
  using value_type = T;

  PageAllocator() = default;
  template <typename U>
  PageAllocator(const PageAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    if (n > std::numeric_limits<size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    const size_t bytes = n * sizeof(T);
    if (bytes < kMappedBlockBytes) return static_cast<T*>(::operator new(bytes, std::align_val_t(alignof(T))));
    void* pages = port::MapPages(bytes);
    if (pages == nullptr) throw std::bad_alloc();
    return static_cast<T*>(pages);
  }

  void deallocate(T* p, size_t n) noexcept {
    const size_t bytes = n * sizeof(T);
    if (bytes < kMappedBlockBytes) {
      ::operator delete(p, bytes, std::align_val_t(alignof(T)));
    } else {
      port::UnmapPages(p, bytes);
    }
  }

  template <typename U>
  bool operator==(const PageAllocator<U>&) const noexcept {
    return true;
  }
};

// A vector whose large blocks are mapped pages (above).
template <typename T>
using PagedVector = std::vector<T, PageAllocator<T>>;

}  // namespace pallix

#endif  // PALLIX_BASE_PAGE_ALLOCATOR_H_
