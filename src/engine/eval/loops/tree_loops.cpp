// The tree engine's loops of this level: each node's operator over a set of
// a block's elements, in place. A dense set's loops are contiguous and
// vectorise; a Select's branch sets go through their offset lists.
#include "../element_sets.h"
#include "../operators.h"
#include "level_parts.h"

namespace bmx {
BMX_ISA_BEGIN

namespace {

template <UnaryOp op>
void unary_loop(double* values, const std::uint32_t* offsets, std::size_t count) {
  for_each_offset(offsets, count, [values](std::size_t s) { values[s] = unary_value<op>(values[s]); });
}

template <auto op>
void combine_loop(double* values, const std::uint32_t* offsets, std::size_t count, const double* second,
                  double scalar, bool right_first) {
  if (second == nullptr) {
    if (right_first) {
      for_each_offset(offsets, count, [=](std::size_t s) { values[s] = pair_value<op>(scalar, values[s]); });
    } else {
      for_each_offset(offsets, count, [=](std::size_t s) { values[s] = pair_value<op>(values[s], scalar); });
    }
  } else if (right_first) {
    for_each_offset(offsets, count, [=](std::size_t s) { values[s] = pair_value<op>(second[s], values[s]); });
  } else {
    for_each_offset(offsets, count, [=](std::size_t s) { values[s] = pair_value<op>(values[s], second[s]); });
  }
}

struct Entries {
  template <UnaryOp op>
  static constexpr TreeLoops::Unary unary() { return &unary_loop<op>; }
  template <auto op>
  static constexpr TreeLoops::Combine pair() { return &combine_loop<op>; }
};

}  // namespace

constinit const TreeLoops kTreeLoops = op_table<TreeLoops, Entries>();

BMX_ISA_END
}  // namespace bmx
