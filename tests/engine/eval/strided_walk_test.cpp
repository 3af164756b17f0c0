// Walks of strided arrays: every block of every layout against the element
// each index of the C-order walk names, and in place exactly where a block
// lies contiguously.
#include "eval/strided_walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <optional>
#include <vector>

namespace bmx {
namespace {

struct Layout {
  const char* name;
  std::vector<std::size_t> shape;
  /// Strides in elements, over a backing array whose middle is element 0.
  std::vector<std::ptrdiff_t> strides;
};

const Layout kLayouts[] = {
    {"contiguous", {700}, {1}},
    {"every second", {700}, {2}},
    {"reversed", {700}, {-1}},
    {"broadcast", {700}, {0}},
    {"C order", {6, 50}, {50, 1}},
    {"transposed", {50, 6}, {1, 50}},
    {"row against columns", {40, 30}, {0, 1}},
    {"column against rows", {40, 30}, {1, 0}},
    {"slice of rows", {9, 100}, {120, 1}},
    {"reversed columns of every third row", {5, 4, 30}, {360, -90, -1}},
    {"axes of one element", {1, 300, 1}, {7, 3, 11}},
    {"one element", {1, 1}, {5, 9}},
};

/// The element the walk's element `i` names, from first principles.
template <class T>
const T& element_at(const Layout& layout, const T* first, std::size_t i) {
  std::ptrdiff_t offset = 0;
  for (std::size_t d = layout.shape.size(); d-- > 0;) {
    offset += static_cast<std::ptrdiff_t>(i % layout.shape[d]) * layout.strides[d];
    i /= layout.shape[d];
  }
  return first[offset];
}

template <class T>
void check_every_block(const Layout& layout) {
  std::vector<T> backing(8000);
  for (std::size_t k = 0; k < backing.size(); ++k) backing[k] = static_cast<T>(k * 7 + 1);
  const T* first = backing.data() + backing.size() / 2;
  std::vector<std::ptrdiff_t> byte_strides;
  for (const std::ptrdiff_t stride : layout.strides) byte_strides.push_back(stride * static_cast<std::ptrdiff_t>(sizeof(T)));
  const StridedWalk walk(sizeof(T), byte_strides, layout.shape);
  const auto* data = reinterpret_cast<const unsigned char*>(first);
  const std::size_t n = std::accumulate(layout.shape.begin(), layout.shape.end(), std::size_t{1}, std::multiplies{});
  for (const std::size_t length : {std::size_t{1}, std::size_t{7}, std::size_t{30}, std::size_t{512}}) {
    for (std::size_t start = 0; start < n; start += length) {
      const std::size_t count = std::min(length, n - start);
      std::vector<T> block(count);
      walk.gather(reinterpret_cast<unsigned char*>(block.data()), data, start, count);
      bool lies_contiguously = true;
      for (std::size_t k = 0; k < count; ++k) {
        ASSERT_EQ(block[k], element_at(layout, first, start + k)) << layout.name << " element " << start + k;
        lies_contiguously = lies_contiguously && &element_at(layout, first, start + k) - &element_at(layout, first, start) ==
                                                     static_cast<std::ptrdiff_t>(k);
      }
      if (const std::optional<std::ptrdiff_t> offset = walk.contiguous(start, count)) {
        EXPECT_EQ(data + *offset, reinterpret_cast<const unsigned char*>(&element_at(layout, first, start))) << layout.name;
        EXPECT_TRUE(lies_contiguously) << layout.name;
      }
    }
  }
}

TEST(StridedWalk, GathersEveryBlockOfEveryLayoutForEveryElementSize) {
  for (const Layout& layout : kLayouts) {
    check_every_block<std::uint8_t>(layout);
    check_every_block<std::uint16_t>(layout);
    check_every_block<std::uint32_t>(layout);
    check_every_block<std::uint64_t>(layout);
  }
}

TEST(StridedWalk, ScattersEveryBlockToWhereTheWalkPlacesIt) {
  for (const Layout& layout : kLayouts) {
    bool repeats = false;
    for (std::size_t d = 0; d < layout.shape.size(); ++d) repeats = repeats || (layout.shape[d] > 1 && layout.strides[d] == 0);
    if (repeats) continue;
    std::vector<std::ptrdiff_t> byte_strides;
    for (const std::ptrdiff_t stride : layout.strides) byte_strides.push_back(stride * 4);
    const StridedWalk walk(4, byte_strides, layout.shape);
    const std::size_t n = std::accumulate(layout.shape.begin(), layout.shape.end(), std::size_t{1}, std::multiplies{});
    std::vector<std::uint32_t> backing(8000, 0);
    std::uint32_t* const first = backing.data() + backing.size() / 2;
    for (std::size_t start = 0; start < n; start += 30) {
      const std::size_t count = std::min<std::size_t>(30, n - start);
      std::vector<std::uint32_t> block(count);
      std::iota(block.begin(), block.end(), static_cast<std::uint32_t>(start + 1));
      walk.scatter(reinterpret_cast<unsigned char*>(first), reinterpret_cast<const unsigned char*>(block.data()), start,
                   count);
    }
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(element_at(layout, static_cast<const std::uint32_t*>(first), i), i + 1) << layout.name;
    // Nothing else is written.
    EXPECT_EQ(static_cast<std::size_t>(std::count(backing.begin(), backing.end(), 0u)), backing.size() - n) << layout.name;
  }
}

TEST(StridedWalk, ReadsInPlaceABlockWithinOneContiguousRow) {
  const std::size_t shape[] = {4, 250};
  const std::ptrdiff_t strides[] = {300 * 8, 8};
  const StridedWalk walk(8, strides, shape);
  EXPECT_EQ(walk.contiguous(260, 100), (300 + 10) * 8);
  EXPECT_EQ(walk.contiguous(200, 100), std::nullopt);  // across the end of a row
  const std::ptrdiff_t every_second[] = {600 * 8, 16};
  EXPECT_EQ(StridedWalk(8, every_second, shape).contiguous(0, 10), std::nullopt);
}

}  // namespace
}  // namespace bmx
