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

/// Whether run_range hands n elements that cost `element_cost` additions each
/// to the pool: from kSequentialThreshold elements' worth (and no fewer than
/// 2 elements) when the thread setting is above 1. Any thread.
inline bool uses_pool(std::size_t n, std::size_t element_cost = kCheapElement) {
  return n >= std::max<std::size_t>(2, weighed(kSequentialThreshold, std::max(element_cost, kCheapElement))) &&
         may_use_pool();
}

/// Runs body(begin, end) over pieces that cover [0, n) exactly once: one
/// piece on the calling thread unless uses_pool(n, element_cost), else
/// pieces of at least `min_piece` cheap elements' worth (and at least 1
/// element) on the pool, returning when all are done. Any thread.
template <class Body>
void run_range(std::size_t n, std::size_t min_piece, const Body& body, std::size_t element_cost = kCheapElement) {
  if (!uses_pool(n, element_cost)) {
    body(0, n);
    return;
  }
  WorkPool::global().run_pieces(n, weighed(min_piece, std::max(element_cost, kCheapElement)), body);
}

}  // namespace bmx
