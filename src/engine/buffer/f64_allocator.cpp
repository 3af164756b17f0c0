// Huge-page-aware block allocation for buffer storage.
#include "f64_allocator.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace bmx {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

}  // namespace

void* allocate_f64_block(std::size_t bytes) {
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  if (block == nullptr) throw std::bad_alloc();
  if (bytes >= kHugeThreshold) {
    // The whole huge pages inside the block may be backed by transparent huge
    // pages; advice only, ignored by kernels without them.
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (start + kHugePage - 1) / kHugePage * kHugePage;
    const std::uintptr_t last = (start + bytes) / kHugePage * kHugePage;
    if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
  return block;
}

void deallocate_f64_block(void* block, std::size_t) { std::free(block); }

}  // namespace bmx
