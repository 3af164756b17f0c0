// Reading and writing an array where it lies, in the C-order walk of an
// iteration shape: any strides, negative and zero (broadcast) ones included.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace bmx {

/// Where an array's elements lie, in the order of the C-order walk of a
/// shape. Axes of one element are dropped and neighbouring axes the array
/// steps through as one are merged, so that a transposed, sliced or
/// broadcast array is walked in runs along its innermost remaining axis,
/// each run copied with one stride (a plain copy when it is contiguous, a
/// fill when it is broadcast).
class StridedWalk {
 public:
  /// An array of elements of `element_size` bytes (1, 2, 4, 8 or 16),
  /// stepping `strides[d]` bytes along axis d of `shape` (one stride per axis).
  StridedWalk(std::size_t element_size, std::span<const std::ptrdiff_t> strides, std::span<const std::size_t> shape);

  /// Copies elements [start, start + length) of the walk of the array whose
  /// first element is at `data` to `block`, one after another.
  void gather(unsigned char* block, const unsigned char* data, std::size_t start, std::size_t length) const;

  /// Copies `length` elements from `block` to elements [start, start +
  /// length) of the walk of the array whose first element is at `data`.
  void scatter(unsigned char* data, const unsigned char* block, std::size_t start, std::size_t length) const;

  /// How far from the first element (in bytes) elements [start, start +
  /// length) of the walk lie, when they lie one after another; else empty.
  std::optional<std::ptrdiff_t> contiguous(std::size_t start, std::size_t length) const;

 private:
  /// The offset of element `start` of the walk, with its index along each
  /// remaining axis.
  std::ptrdiff_t locate(std::size_t start, std::span<std::size_t> index) const;

  /// Calls run(offset, length) for the runs that make up elements [start,
  /// start + length) of the walk, in order.
  template <class Run>
  void for_each_run(std::size_t start, std::size_t length, const Run& run) const;

  std::size_t element_size_;
  /// The remaining axes, innermost first: their lengths and byte strides.
  std::vector<std::size_t> extents_;
  std::vector<std::ptrdiff_t> strides_;
};

/// Writes `length` copies of the `size`-byte element at `element` one after
/// another into `block`, each copy an element's move rather than a call.
void repeat_element(unsigned char* block, const unsigned char* element, std::size_t size, std::size_t length);

}  // namespace bmx
