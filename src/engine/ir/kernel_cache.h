// KernelCache: the process-wide memo of compiled kernels, keyed by tree structure.
//
// Invariants:
//   - One entry per distinct KernelKey, inserted once and never removed or
//     replaced: every lookup of a key returns the kernel inserted first.
//   - Entries live in the bucket of their key's fingerprint, in insertion
//     order; keys sharing a fingerprint sit side by side in one bucket.
//   - `mutex_` is held (shared) only to scan a bucket and (exclusive) only to
//     re-scan and append; never while building keys, hashing or compiling.
//   - Once a writer has been interrupted by an exception while holding the
//     lock, the cache is poisoned for good: every later lookup is an internal
//     failure and the table is never read again.
#pragma once

#include <cstdint>
#include <functional>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "compiled_kernel.h"
#include "kernel_key.h"

namespace bmx {

class KernelCache {
 public:
  using KeyHash = std::function<std::uint64_t(const KernelKey&)>;

  /// An empty cache that picks buckets with `hash`; a cache with a weaker
  /// hash behaves the same, only slower.
  explicit KernelCache(KeyHash hash = fingerprint);

  KernelCache(const KernelCache&) = delete;
  KernelCache& operator=(const KernelCache&) = delete;

  /// The process-wide cache, created empty on first use and never cleared.
  static KernelCache& global();

  /// The compiled kernel of `tree`'s structure, compiling it on a miss (outside
  /// every lock). All callers of one structure get the same shared kernel, even
  /// when concurrent first callers each compiled it. Any thread may call it.
  /// Internal failure "cache read lock poisoned" / "cache write lock poisoned"
  /// once the cache is poisoned.
  CompiledKernelRef get_or_compile(const ExprGraph& tree);

 private:
  struct Entry {
    KernelKey key;
    CompiledKernelRef kernel;
  };
  using Bucket = std::vector<Entry>;

  /// The kernel stored under `key` in `bucket`, or null.
  static CompiledKernelRef find(const Bucket& bucket, const KernelKey& key);

  const KeyHash hash_;
  std::shared_mutex mutex_;
  /// Guarded by `mutex_`.
  bool poisoned_ = false;
  /// Fingerprint to bucket. Guarded by `mutex_`.
  std::unordered_map<std::uint64_t, Bucket> buckets_;
};

}  // namespace bmx
