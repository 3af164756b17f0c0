// What the two block engines share: the block size, the bound on one run's
// temporaries, and the loop that walks a range block by block.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "../internal_failure.h"

namespace bmx {

/// Most elements per block. Blocks of 128 to 2048 elements measured alike on
/// small kernels over 10^6 elements; 512 keeps a few blocks of temporaries in
/// the first-level cache.
inline constexpr std::size_t kBlockLength = 512;
/// Upper bound for one run's temporaries; kernels that would need more with
/// full blocks get shorter blocks instead.
inline constexpr std::size_t kBlockWorkspaceBytes = std::size_t{1} << 20;

/// Elements per block for a kernel whose temporaries take `bytes_per_element`
/// bytes per block element: kBlockLength, or fewer (at least one) so that the
/// temporaries stay within kBlockWorkspaceBytes.
constexpr std::size_t block_length_for(std::uint64_t bytes_per_element) {
  if (bytes_per_element == 0) return kBlockLength;
  return static_cast<std::size_t>(std::clamp<std::uint64_t>(kBlockWorkspaceBytes / bytes_per_element, 1, kBlockLength));
}

/// Bytes of a cache line.
inline constexpr std::size_t kLineBytes = 64;

/// Calls block(start, length, block_out) for consecutive blocks of at most
/// `block_length` elements covering [begin, end), where block_out is the
/// block's place in `out`, which holds element `begin` first. When
/// `block_length` spans a cache line, every block after the first starts on
/// a line of `out`, and so does every vector of its loop: NumPy's arrays start
/// 16 bytes past a line, and a store that straddles two lines costs two. A
/// range beyond the checked length n is an internal failure.
template <class Block>
void for_each_block(std::size_t begin, std::size_t end, std::size_t n, std::size_t block_length, double* out,
                    const Block& block) {
  check(begin <= end && end <= n, "element range beyond the checked length");
  constexpr std::size_t line = kLineBytes / sizeof(double);
  const auto address = reinterpret_cast<std::uintptr_t>(out);
  std::size_t step = block_length;
  std::size_t first = block_length;
  if (block_length >= line && address % sizeof(double) == 0) {
    // Whole lines per block keep the later blocks on lines; the first block
    // ends where `out` reaches one.
    step = block_length / line * line;
    const std::size_t head = (line - address / sizeof(double) % line) % line;
    first = head + (block_length - head) / line * line;
  }
  for (std::size_t start = begin, length = first; start < end; start += length, length = step) {
    length = std::min(length, end - start);
    block(start, length, out + (start - begin));
  }
}

}  // namespace bmx
