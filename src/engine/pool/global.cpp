// The process-wide pool: created on first use, replaced in a forked child,
// whose first use builds a pool with threads of its own.
#include <memory>
#include <thread>

#include "per_process.h"
#include "pool.h"

namespace bmx {
namespace {

std::size_t default_thread_count() {
  const unsigned processors = std::thread::hardware_concurrency();
  return processors == 0 ? 1 : processors;
}

}  // namespace

WorkPool& WorkPool::global() {
  return PerProcess<WorkPool>::get([] { return std::make_unique<WorkPool>(default_thread_count()); });
}

}  // namespace bmx
