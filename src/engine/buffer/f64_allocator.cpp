// Huge-page-aware block allocation for buffer storage.
#include "f64_allocator.h"

#include <sys/mman.h>

#include <stdlib.h>

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
  void* block = nullptr;
  if (posix_memalign(&block, kHugePage, bytes) != 0) throw std::bad_alloc();
  // Only whole huge pages are advised, so the partly used last one stays in
  // small pages and the block's resident size stays its own size. Advice
  // only: a kernel without transparent huge pages ignores it.
  (void)madvise(block, bytes / kHugePage * kHugePage, MADV_HUGEPAGE);
  return block;
}

void deallocate_f64_block(void* block, std::size_t) { std::free(block); }

}  // namespace bmx
