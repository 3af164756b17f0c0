// How evaluation spreads a range of elements: on the calling thread when it
// is short or when the thread setting is 1, else over the work pool.
#pragma once

#include <cstddef>

#include "../pool/pool.h"

namespace bmx {

/// Inputs shorter than this run on the calling thread without any pool job.
inline constexpr std::size_t kSequentialThreshold = 4096;

/// Whether work may go to the pool at all: not when the thread setting is 1.
inline bool may_use_pool() { return WorkPool::num_threads() > 1; }

/// Runs body(begin, end) over pieces that cover [0, n) exactly once: one
/// piece on the calling thread below kSequentialThreshold or when
/// WorkPool::num_threads() is 1, else pieces of at least `min_piece` on the
/// pool, returning when all are done. Any thread.
template <class Body>
void run_range(std::size_t n, std::size_t min_piece, const Body& body) {
  if (n < kSequentialThreshold || !may_use_pool()) {
    body(0, n);
    return;
  }
  WorkPool::global().run_pieces(n, min_piece, body);
}

}  // namespace bmx
