// F64Allocator: storage for the doubles of a buffer.
//
// Elements are default-initialised, so a result array is not zero-filled by
// one thread before the pool's pieces write it (the zeroing pass costs as much
// as the kernel). The whole 2 MiB pages inside a large array are advised for
// transparent huge pages, as NumPy does: page faults on a fresh output
// otherwise cost a third of the memory bandwidth. The blocks themselves come
// from malloc, so a block freed and allocated again is reused warm; a block
// aligned to 2 MiB on its own took fresh, kernel-zeroed pages every time and
// made a map of 10^6 elements three times slower.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>

namespace bmx {

/// Allocates a block; one of at least kHugeThreshold bytes is advised for huge pages.
void* allocate_f64_block(std::size_t bytes);
void deallocate_f64_block(void* block, std::size_t bytes);

/// Blocks of this size and more take the huge-page path.
inline constexpr std::size_t kHugeThreshold = std::size_t{4} << 20;

template <class T>
class F64Allocator {
 public:
  using value_type = T;

  F64Allocator() = default;
  template <class U>
  F64Allocator(const F64Allocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > std::size_t(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(allocate_f64_block(n * sizeof(T)));
  }
  void deallocate(T* block, std::size_t n) noexcept { deallocate_f64_block(block, n * sizeof(T)); }

  /// Value-less construction leaves the element uninitialised.
  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    std::construct_at(p, std::forward<Args>(args)...);
  }

  friend bool operator==(const F64Allocator&, const F64Allocator&) { return true; }
};

}  // namespace bmx
