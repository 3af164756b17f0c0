// Lookup, compile-on-miss and insertion of compiled kernels.
#include "kernel_cache.h"

#include <memory>
#include <mutex>
#include <utility>

#include "../internal_failure.h"
#include "../no_destructor.h"

namespace bmx {

KernelCache::KernelCache(KeyHash hash) : hash_(std::move(hash)) {}

KernelCache& KernelCache::global() {
  static NoDestructor<KernelCache> cache;
  return *cache;
}

CompiledKernelRef KernelCache::find(const Bucket& bucket, const KernelKey& key) {
  for (const Entry& entry : bucket) {
    if (entry.key == key) return entry.kernel;
  }
  return nullptr;
}

CompiledKernelRef KernelCache::get_or_compile(const ExprGraph& tree) {
  KernelKey key = build_kernel_key(tree);
  const std::uint64_t hash = hash_(key);

  {
    const std::shared_lock lock(mutex_);
    if (poisoned_) fail("cache read lock poisoned");
    if (const auto found = buckets_.find(hash); found != buckets_.end()) {
      if (CompiledKernelRef kernel = find(found->second, key)) return kernel;
    }
  }

  CompiledKernelRef compiled = std::make_shared<const CompiledKernel>(compile_kernel(tree));

  const std::scoped_lock lock(mutex_);
  if (poisoned_) fail("cache write lock poisoned");
  try {
    Bucket& bucket = buckets_[hash];
    // Another thread may have inserted the key since the read lock was dropped.
    if (CompiledKernelRef existing = find(bucket, key)) return existing;
    bucket.push_back(Entry{std::move(key), compiled});
  } catch (...) {
    // The table may be half-updated; nobody may read it again.
    poisoned_ = true;
    throw;
  }
  return compiled;
}

}  // namespace bmx
