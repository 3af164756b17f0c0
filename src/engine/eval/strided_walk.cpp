#include "strided_walk.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "../internal_failure.h"

namespace bmx {

namespace {

/// NumPy's arrays have at most 64 axes: a walk's index lives on the stack.
constexpr std::size_t kMostAxes = 64;

/// A 16-byte element (a complex128), copied as one value.
struct Pair {
  std::uint64_t low;
  std::uint64_t high;
};

/// Copies `length` elements of type T, kStep elements apart from `from`,
/// one after another into `block`: a step known when compiling (every
/// second element, or backwards) lets the copy vectorise.
template <class T, std::ptrdiff_t kStep>
void gather_every(unsigned char* block, const unsigned char* from, std::size_t length) {
  constexpr std::ptrdiff_t kStride = kStep * static_cast<std::ptrdiff_t>(sizeof(T));
  for (std::size_t k = 0; k < length; ++k) {
    std::memcpy(block + k * sizeof(T), from + static_cast<std::ptrdiff_t>(k) * kStride, sizeof(T));
  }
}

template <class T>
void copy_run(unsigned char* to, std::ptrdiff_t to_stride, const unsigned char* from, std::ptrdiff_t from_stride,
              std::size_t length) {
  constexpr auto kSize = static_cast<std::ptrdiff_t>(sizeof(T));
  if (to_stride == kSize) {
    if (from_stride == 0) {
      T value;
      std::memcpy(&value, from, sizeof(T));
      std::fill_n(reinterpret_cast<T*>(to), length, value);
      return;
    }
    if (from_stride == 2 * kSize) return gather_every<T, 2>(to, from, length);
    if (from_stride == -kSize) return gather_every<T, -1>(to, from, length);
  }
  for (std::size_t k = 0; k < length; ++k) {
    const auto step = static_cast<std::ptrdiff_t>(k);
    std::memcpy(to + step * to_stride, from + step * from_stride, sizeof(T));
  }
}

/// Copies `length` elements of `size` bytes from places `from_stride` bytes
/// apart to places `to_stride` bytes apart. An output that is an input's
/// own memory may be written from a block read in place there: the same
/// bytes, which only memmove may copy onto themselves.
void copy_run(unsigned char* to, std::ptrdiff_t to_stride, const unsigned char* from, std::ptrdiff_t from_stride,
              std::size_t size, std::size_t length) {
  const auto element = static_cast<std::ptrdiff_t>(size);
  if (to_stride == element && from_stride == element) {
    std::memmove(to, from, length * size);
    return;
  }
  switch (size) {
    case 1: return copy_run<std::uint8_t>(to, to_stride, from, from_stride, length);
    case 2: return copy_run<std::uint16_t>(to, to_stride, from, from_stride, length);
    case 4: return copy_run<std::uint32_t>(to, to_stride, from, from_stride, length);
    case 8: return copy_run<std::uint64_t>(to, to_stride, from, from_stride, length);
    case 16: return copy_run<Pair>(to, to_stride, from, from_stride, length);
    default: fail("element size without a strided copy");
  }
}

}  // namespace

void repeat_element(unsigned char* block, const unsigned char* element, std::size_t size, std::size_t length) {
  copy_run(block, static_cast<std::ptrdiff_t>(size), element, 0, size, length);
}

StridedWalk::StridedWalk(std::size_t element_size, std::span<const std::ptrdiff_t> strides,
                         std::span<const std::size_t> shape)
    : element_size_(element_size) {
  check(strides.size() == shape.size(), "strides do not match the shape");
  for (std::size_t d = shape.size(); d-- > 0;) {
    if (shape[d] == 1) continue;
    // An outer axis whose step spans the whole inner one continues it.
    if (!extents_.empty() && strides[d] == strides_.back() * static_cast<std::ptrdiff_t>(extents_.back())) {
      extents_.back() *= shape[d];
      continue;
    }
    extents_.push_back(shape[d]);
    strides_.push_back(strides[d]);
  }
  // A single element is a run of one axis that never steps.
  if (extents_.empty()) {
    extents_.push_back(1);
    strides_.push_back(0);
  }
  check(extents_.size() <= kMostAxes, "more axes than a walk keeps");
}

std::ptrdiff_t StridedWalk::locate(std::size_t start, std::span<std::size_t> index) const {
  std::ptrdiff_t offset = 0;
  for (std::size_t d = 0; d < extents_.size(); ++d) {
    index[d] = start % extents_[d];
    start /= extents_[d];
    offset += static_cast<std::ptrdiff_t>(index[d]) * strides_[d];
  }
  return offset;
}

template <class Run>
void StridedWalk::for_each_run(std::size_t start, std::size_t length, const Run& run) const {
  std::size_t index[kMostAxes];
  std::ptrdiff_t offset = locate(start, index);
  for (std::size_t done = 0; done < length;) {
    const std::size_t count = std::min(length - done, extents_[0] - index[0]);
    run(offset, done, count);
    done += count;
    offset += static_cast<std::ptrdiff_t>(count) * strides_[0];
    index[0] += count;
    // Carries a finished run into the outer axes.
    for (std::size_t d = 0; d + 1 < extents_.size() && index[d] == extents_[d]; ++d) {
      offset += strides_[d + 1] - static_cast<std::ptrdiff_t>(extents_[d]) * strides_[d];
      index[d] = 0;
      ++index[d + 1];
    }
  }
}

void StridedWalk::gather(unsigned char* block, const unsigned char* data, std::size_t start,
                         std::size_t length) const {
  const auto element = static_cast<std::ptrdiff_t>(element_size_);
  for_each_run(start, length, [&](std::ptrdiff_t offset, std::size_t done, std::size_t count) {
    copy_run(block + done * element_size_, element, data + offset, strides_[0], element_size_, count);
  });
}

void StridedWalk::scatter(unsigned char* data, const unsigned char* block, std::size_t start,
                          std::size_t length) const {
  const auto element = static_cast<std::ptrdiff_t>(element_size_);
  for_each_run(start, length, [&](std::ptrdiff_t offset, std::size_t done, std::size_t count) {
    copy_run(data + offset, strides_[0], block + done * element_size_, element, element_size_, count);
  });
}

std::optional<std::ptrdiff_t> StridedWalk::contiguous(std::size_t start, std::size_t length) const {
  if (strides_[0] != static_cast<std::ptrdiff_t>(element_size_)) return std::nullopt;
  if (start % extents_[0] + length > extents_[0]) return std::nullopt;
  std::size_t index[kMostAxes];
  return locate(start, index);
}

}  // namespace bmx
