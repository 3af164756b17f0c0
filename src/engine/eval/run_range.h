// How evaluation spreads a range of elements: on the calling thread when it
// holds little work or when the thread setting is 1, else over the work pool.
#pragma once

#include <algorithm>
#include <cstddef>

#include "../pool/pool.h"

namespace bmx {

/// Inputs shorter than this run on the calling thread without any pool job.
inline constexpr std::size_t kSequentialThreshold = 4096;

/// Elements that cost at most this many additions (element_cost.h) are
/// split by their count alone; a costlier element counts as cost /
/// kCheapElement of them, so that a piece holds about the same work whatever
/// the expression. Four keeps `2*x + y`, `x*x + y*y` and `where(x > 0, x, 0)`
/// where they always split.
inline constexpr std::size_t kCheapElement = 4;

/// Whether work may go to the pool at all: not when the thread setting is 1.
inline bool may_use_pool() { return WorkPool::num_threads() > 1; }

/// `elements` cheap elements' worth of elements that cost `weight`
/// (at least kCheapElement) each; never 0.
constexpr std::size_t weighed(std::size_t elements, std::size_t weight) {
  // Without the product elements * kCheapElement, which could overflow.
  const std::size_t count = elements / weight * kCheapElement + elements % weight * kCheapElement / weight;
  return std::max<std::size_t>(count, 1);
}

/// Runs body(begin, end) over pieces that cover [0, n) exactly once: one
/// piece on the calling thread below kSequentialThreshold elements (or when
/// WorkPool::num_threads() is 1), else pieces of at least `min_piece` on the
/// pool, returning when all are done; both counts are of elements that cost
/// `element_cost` additions, which shrink as it exceeds kCheapElement (to no
/// fewer than 2 elements before the pool is used, 1 in a piece). Any thread.
template <class Body>
void run_range(std::size_t n, std::size_t min_piece, const Body& body, std::size_t element_cost = kCheapElement) {
  const std::size_t weight = std::max(element_cost, kCheapElement);
  if (n < std::max<std::size_t>(2, weighed(kSequentialThreshold, weight)) || !may_use_pool()) {
    body(0, n);
    return;
  }
  WorkPool::global().run_pieces(n, weighed(min_piece, weight), body);
}

}  // namespace bmx
