// Huge-page-aware block allocation for buffer storage.
#include "f64_allocator.h"

#include <sys/mman.h>

#include <cstdlib>

namespace bmx {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

}  // namespace

void* allocate_f64_block(std::size_t bytes) {
  if (bytes < kHugeThreshold) {
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) throw std::bad_alloc();
    return block;
  }
  const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* block = std::aligned_alloc(kHugePage, rounded);
  if (block == nullptr) throw std::bad_alloc();
  // Advice only: a kernel without transparent huge pages just ignores it.
  (void)madvise(block, rounded, MADV_HUGEPAGE);
  return block;
}

void deallocate_f64_block(void* block, std::size_t) { std::free(block); }

}  // namespace bmx
