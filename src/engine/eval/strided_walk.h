// Reading an array where it lies, in the C-order walk of an iteration shape:
// any strides, negative and zero (broadcast) ones included.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace bmx {

/// One array's elements in the order of the C-order walk of a shape. Axes of
/// one element are dropped and neighbouring axes the array steps through as
/// one are merged, so that a transposed, sliced or broadcast array is walked
/// in runs along its innermost remaining axis, each run copied with one
/// stride (a plain copy when it is contiguous, a fill when it is broadcast).
class StridedWalk {
 public:
  /// The array whose first element is at `data`, of elements of
  /// `element_size` bytes (1, 2, 4, 8 or 16), stepping `strides[d]` bytes
  /// along axis d of `shape` (one stride per axis).
  StridedWalk(const unsigned char* data, std::size_t element_size, std::span<const std::ptrdiff_t> strides,
              std::span<const std::size_t> shape);

  /// Copies elements [start, start + length) of the walk to `block`, one
  /// after another.
  void gather(unsigned char* block, std::size_t start, std::size_t length) const;

  /// Where elements [start, start + length) of the walk lie, when they lie one
  /// after another in memory; else null.
  const unsigned char* contiguous(std::size_t start, std::size_t length) const;

 private:
  const unsigned char* data_;
  std::size_t element_size_;
  /// The remaining axes, innermost first: their lengths and byte strides.
  std::vector<std::size_t> extents_;
  std::vector<std::ptrdiff_t> strides_;
};

}  // namespace bmx
